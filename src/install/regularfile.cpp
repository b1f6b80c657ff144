#include "regularfile.h"

#include "tree.h"

#include <QDebug>
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

bool clearOwnedName(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    const bool link = isLink(path);
    if (link || !info.isFile())
        qDebug() << "Removing" << path << "(not a file the updater wrote)";
    if (info.isDir() && !link)
        removeTree(path, 1);
    else if (!QFile::remove(path))
        removeTree(path, 1); // a junction
    return !QFileInfo(path).exists() && !QFileInfo(path).isSymLink();
}
