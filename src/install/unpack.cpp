#include "unpack.h"

#include "workers.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <vector>

#include <quazip.h>

WriteResult writeEntry(const QByteArray &data, const QString &path)
{
    if (path.endsWith(QChar('/'), Qt::CaseSensitive))
        return QDir().mkpath(path) ? Written : NotCreated;
    // The folder is usually there already: make it only when the file cannot be made.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        QDir().mkpath(QFileInfo(path).path());
        if (!file.open(QIODevice::WriteOnly))
            return NotCreated;
    }
    const bool written = file.write(data) == data.size() && file.flush();
    file.close();
    return written ? Written : NotWritten;
}

// Which entries each thread unpacks: all of one name to one thread, and each new name to
// the thread with the fewest bytes so far. Entries that reach outside are left out.
static std::vector<std::vector<int>> share(const QList<PlannedEntry> &entries, int threads)
{
    std::vector<std::vector<int>> shares(size_t(qMax(threads, 1)));
    std::vector<quint64> load(shares.size(), 0);
    QHash<QString, size_t> owners;
    for (int index = 0; index < entries.size(); ++index) {
        const PlannedEntry &entry = entries.at(index);
        if (entry.name.isEmpty())
            continue;
        const auto lightest = size_t(std::min_element(load.begin(), load.end()) - load.begin());
        const size_t owner = owners.value(entry.name, lightest);
        owners.insert(entry.name, owner);
        shares[owner].push_back(index);
        // A file costs the file system something whatever its size.
        load[owner] += entry.size + 4096;
    }
    return shares;
}

// One thread's share, through a reader of its own over the same bytes. Walking the
// directory to each of its entries reads records only, not data.
static Unpacked unpackShare(const QByteArray &package, const QList<PlannedEntry> &entries,
                            const std::vector<int> &share, const QString &folder)
{
    Unpacked result;
    QBuffer buffer;
    buffer.setData(package);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    bool more = zip.open(QuaZip::mdUnzip) && zip.goToFirstFile();
    int current = 0;
    for (const int index : share) {
        for (; more && current < index; ++current)
            more = zip.goToNextFile();
        const PlannedEntry &entry = entries.at(index);
        QByteArray data;
        if (!more || !readEntry(zip, entry, &data)) {
            result.problems.append({index, EntryProblem::Unreadable, entry.archiveName});
            continue;
        }
        result.totalSize += data.size();
        const QString path = folder + QLatin1Char('/') + entry.name;
        switch (writeEntry(data, path)) {
        case Written:
#ifndef Q_OS_WIN
            if (entry.execute)
                QFile::setPermissions(path, QFile::permissions(path) | entry.execute);
#endif
            break;
        case NotCreated:
            result.problems.append({index, EntryProblem::NotCreated, path});
            break;
        case NotWritten:
            result.problems.append({index, EntryProblem::NotWritten, path});
            break;
        }
    }
    return result;
}

Unpacked unpack(const QByteArray &package, const QList<PlannedEntry> &entries,
                const QString &folder, int threads)
{
    const std::vector<std::vector<int>> shares = share(entries, threads);
    std::vector<Unpacked> results(shares.size());
    // Every thread reads the same package: a QByteArray's bytes may be read from several
    // threads at once, as long as none writes to it, and each reader's buffer and zip
    // reader are its own.
    runShares(int(shares.size()), [&](int i) {
        results[size_t(i)] = unpackShare(package, entries, shares[size_t(i)], folder);
    });

    Unpacked all;
    for (int index = 0; index < entries.size(); ++index) {
        const PlannedEntry &entry = entries.at(index);
        if (entry.name.isEmpty()) {
            all.problems.append(
                    {index, entry.unsupported ? EntryProblem::Unsupported : EntryProblem::Unsafe,
                     entry.archiveName});
        }
    }
    for (const Unpacked &result : results) {
        all.totalSize += result.totalSize;
        all.problems += result.problems;
    }
    std::stable_sort(all.problems.begin(), all.problems.end(),
                     [](const EntryProblem &a, const EntryProblem &b) { return a.index < b.index; });
    return all;
}
