#pragma once

#include <QFile>
#include <QMutex>
#include <QString>

// While it lives, every log line also goes, with its time and level, to a file, and on
// to the handler that was there before, so that standard error and the debugger output
// stay as they are. The file of the run before is kept as <file>.1. A file that cannot
// be written is no error: the lines then only go on.
class LogFile
{
public:
    explicit LogFile(const QString &path);
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QFile file;
    QMutex mutex;
    QtMessageHandler previous = nullptr;
};
