#include "logfile.h"

#include "regularfile.h"

#include <QDateTime>

// Qt's handler is a plain function: it finds the file through this.
static LogFile *current = nullptr;

LogFile::LogFile(const QString &path) : file(path)
{
    const QString kept = path + QStringLiteral(".1");
    QFile::remove(kept);
    QFile::rename(path, kept);
    openRegular(file, QIODevice::WriteOnly | QIODevice::Text);
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
