#pragma once

#include <QString>

// Writes into `target` the patch file from the package `earlier` to the package `next`
// (see patchfile.h): for each entry of `next` whose bytes are in no entry of `earlier`,
// a zstd frame of its bytes, made with the earlier entry of its name as prefix where there
// is one. An entry that recompressing its bytes with the package's settings does not give
// back exactly is left out: no updater could rebuild it. Sets `entries` to how many it
// holds; returns why it could not be written, or nothing.
QString writePatchFile(const QString &earlier, const QString &next, const QString &target,
                       int *entries);
