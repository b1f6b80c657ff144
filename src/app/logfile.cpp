#include "logfile.h"

#include <QDateTime>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

// Qt's handler is a plain function: it finds the file through this.
static LogFile *current = nullptr;

// Opens `file` for writing only when it is a regular file of its own: never through a
// link (whose target could be anyone's file), nor into a pipe that would block the run.
static bool openRegular(QFile &file)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        return file.open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle);
    if (fd >= 0)
        ::close(fd);
    return false;
#else
    return !QFileInfo(file.fileName()).isSymLink()
            && file.open(QIODevice::WriteOnly | QIODevice::Text);
#endif
}

LogFile::LogFile(const QString &path) : file(path)
{
    const QString kept = path + QStringLiteral(".1");
    QFile::remove(kept);
    QFile::rename(path, kept);
    openRegular(file);
    current = this;
    previous = qInstallMessageHandler(handle);
}

LogFile::~LogFile()
{
    qInstallMessageHandler(previous);
    current = nullptr;
}

void LogFile::handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const char *const levels[] = {"debug", "warning", "critical", "fatal", "info"};
    LogFile *log = current;
    if (log && log->file.isOpen()) {
        const QByteArray line = QDateTime::currentDateTime()
                                        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz "))
                                        .toUtf8()
                + levels[type] + ": " + message.toUtf8() + '\n';
        const QMutexLocker locker(&log->mutex);
        log->file.write(line);
        log->file.flush();
    }
    if (log && log->previous)
        log->previous(type, context, message);
    else
        qt_message_output(type, context, message);
}
