#pragma once

#include "window.h"

#include <QFile>
#include <QList>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// Writes the files of an installation on a few threads: creating thousands of files is
// mostly the file system's work, which goes faster side by side. Files with the same
// path go to the same thread in the order given, so a later duplicate still wins, and
// what waits to be written is bounded, so memory stays bounded too.
class EntryWriter
{
public:
    struct Failure
    {
        int index;
        window::WriteResult result;
        QString path;
    };

    // With no threads each file is written at once, on the calling thread.
    EntryWriter(window *owner, int threadCount, qint64 maxQueued = 2 * 1024 * 1024);
    ~EntryWriter();

    // `execute`: execute bits to add once the file is written.
    void write(int index, QByteArray data, const QString &path, QFile::Permissions execute);
    // Waits until every file is written; returns the ones that failed.
    QList<Failure> finish();

private:
    struct Job
    {
        int index;
        QByteArray data;
        QString path;
        QFile::Permissions execute;
    };
    void run(std::deque<Job> *queue);
    void writeNow(const Job &job);

    window *owner;
    const qint64 maxQueued;
    qint64 queued = 0;
    bool closing = false;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::deque<Job>> queues;
    std::vector<std::thread> threads;
    QList<Failure> failures;
};
