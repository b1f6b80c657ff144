#pragma once

#include "deltaplan.h"
#include "patchfile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

class QIODevice;

// What a patch file brings to a delta: its entries, its bytes, and the largest entry it
// may rebuild, since rebuilding one holds its earlier and its new bytes in memory.
struct PatchSource
{
    QList<PatchEntry> entries;
    QByteArrayView bytes;
    qint64 limit = 0;
};

// Lays out the new package of `size` bytes in `out` as `plan` says, from the installed
// package `installed`: its last bytes `tail`, the rebuilt headers, the copied entries, and
// the entries rebuilt from `patches`, on more than one thread when `out` is the file at
// `path` (each through a handle of its own). A patched entry that does not come out exactly as
// recorded goes to the plan's ranges, with one log line, and `patched` counts the others.
// What is left is to fetch the plan's ranges. Returns why `out` could not be written, or
// nothing.
QString layOutPackage(QByteArrayView installed, const QByteArray &tail, qint64 size,
                      const PatchSource &patches, qint64 gap, DeltaPlan *plan, QIODevice *out,
                      const QString &path, int *patched);
