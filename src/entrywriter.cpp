#include "entrywriter.h"

EntryWriter::EntryWriter(window *owner, int threadCount, qint64 maxQueued)
    : owner(owner), maxQueued(maxQueued), queues(size_t(threadCount))
{
    for (std::deque<Job> &queue : queues)
        threads.emplace_back(&EntryWriter::run, this, &queue);
}

EntryWriter::~EntryWriter()
{
    finish();
}

void EntryWriter::write(int index, QByteArray data, const QString &path, QFile::Permissions execute)
{
    Job job{index, std::move(data), path, execute};
    if (queues.empty()) {
        writeNow(job);
        return;
    }
    const qint64 size = job.data.size();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return queued == 0 || queued + size <= maxQueued; });
    queued += size;
    queues[qHash(path) % queues.size()].push_back(std::move(job));
    changed.notify_all();
}

QList<EntryWriter::Failure> EntryWriter::finish()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
        changed.notify_all();
    }
    for (std::thread &thread : threads)
        thread.join();
    threads.clear();
    std::sort(failures.begin(), failures.end(),
              [](const Failure &a, const Failure &b) { return a.index < b.index; });
    return failures;
}

void EntryWriter::run(std::deque<Job> *queue)
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [&] { return closing || !queue->empty(); });
        if (queue->empty())
            return;
        const Job job = std::move(queue->front());
        queue->pop_front();
        lock.unlock();
        writeNow(job);
        lock.lock();
        queued -= job.data.size();
        changed.notify_all();
    }
}

void EntryWriter::writeNow(const Job &job)
{
    const window::WriteResult result = owner->WriteEntry(job.data, job.path);
    if (result == window::Written) {
#ifndef Q_OS_WIN
        if (job.execute)
            QFile::setPermissions(job.path, QFile::permissions(job.path) | job.execute);
#endif
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    failures.append({job.index, result, job.path});
}
