#pragma once

#include "preflight.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What became of one file.
enum WriteResult : int { Written, NotCreated, NotWritten };

// Writes one file, or makes one folder when the path ends in '/'; the file's folder is
// made when it is missing.
WriteResult writeEntry(const QByteArray &data, const QString &path);

// Something that went wrong with one entry.
struct EntryProblem
{
    enum Kind { Unsafe, Unsupported, Unreadable, NotCreated, NotWritten };
    int index;
    Kind kind;
    QString text; // the entry's name, or the file's path
};

struct Unpacked
{
    // Bytes of the entries that could be read.
    qint64 totalSize = 0;
    // In archive order.
    QList<EntryProblem> problems;
};

// Inflates the planned entries of `package` into `folder` on `threads` threads. Each
// thread reads the shared package through a zip reader of its own, and holds one entry
// at a time; all entries with the same name go to one thread, in archive order, so the
// later one wins.
Unpacked unpack(const QByteArray &package, const QList<PlannedEntry> &entries,
                const QString &folder, int threads);
