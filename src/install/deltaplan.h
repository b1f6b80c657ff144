#pragma once

#include "patchfile.h"
#include "zipdirectory.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <utility>

// How to rebuild a new package from the installed one and byte ranges of the new one:
// an entry whose CRC-32, method and sizes are those of an installed entry is copied from
// the installed package, whatever its name or time; its local header is rebuilt from the
// new directory where the lengths agree, and fetched where they do not; everything else
// is rebuilt from a patch where one is given for it (see patchfile.h), with its local
// header made so too, and fetched where that fails; everything else is fetched. The new
// package's directory and end record, its last `tailSize` bytes, are in hand already.
struct DeltaPlan
{
    // `length` bytes of the installed package from `from` go to `at` in the new one.
    struct Copy
    {
        qint64 at;
        qint64 length;
        qint64 from;
    };
    QList<Copy> copies;
    // An entry to rebuild from patch `patch`: its compressed bytes go to `at`. The earlier
    // entry of its name lies at `from` in the installed package (-1: none), compressed with
    // `method` from `uncompressedSize` bytes to `compressedSize`. When the patch does not
    // give exactly the entry's bytes, [first, last] is fetched instead.
    struct Patched
    {
        qint64 at;
        qsizetype patch;
        qint64 from;
        quint16 method;
        qint64 compressedSize;
        qint64 uncompressedSize;
        std::pair<qint64, qint64> range;
    };
    QList<Patched> patched;
    // Local headers rebuilt from the directory, and where they go.
    QList<std::pair<qint64, QByteArray>> headers;
    // What to fetch, as inclusive [first, last] byte ranges, in order and merged.
    QList<std::pair<qint64, qint64>> ranges;
    int reused = 0;

    qint64 bytesToFetch() const;
};

// Plans the new package of `size` bytes, whose directory is `next`, from the installed
// package `installed` and `patches` from it; ranges less than `gap` bytes apart are merged
// into one. Returns why no plan can be made (the installed package cannot be read, say),
// or nothing.
QString planDelta(QByteArrayView installed, const ZipDirectory &next, qint64 size, qint64 gap,
                  DeltaPlan *plan, const QList<PatchEntry> &patches = {});

// Sorts `ranges` and merges those less than `gap` bytes apart.
void mergeRanges(QList<std::pair<qint64, qint64>> *ranges, qint64 gap);
