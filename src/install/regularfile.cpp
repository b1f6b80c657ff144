#include "regularfile.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

bool openRegular(QFile &file, QIODevice::OpenMode mode)
{
#ifdef Q_OS_UNIX
    const int access = (mode & QIODevice::ReadWrite) == QIODevice::ReadWrite ? O_RDWR | O_CREAT
            : mode & QIODevice::WriteOnly ? O_WRONLY | O_CREAT | O_TRUNC
                                          : O_RDONLY;
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(),
                          access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        return file.open(fd, mode, QFileDevice::AutoCloseHandle);
    if (fd >= 0)
        ::close(fd);
    return false;
#else
    return !QFileInfo(file.fileName()).isSymLink() && file.open(mode);
#endif
}
