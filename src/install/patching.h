#pragma once

#include "patchfile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class QIODevice;

// The uncompressed bytes of a zip entry whose compressed bytes are `data`, stored
// (method 0) or deflated (8), which must come to exactly `size` bytes. Why not, or nothing.
QString inflateEntry(QByteArrayView data, quint16 method, qint64 size, QByteArray *raw);

// Rebuilds one entry of a new package from its patch: the uncompressed bytes that the zstd
// `frame` gives, with `earlier` (the earlier entry's uncompressed bytes) as its prefix when
// the entry is patched from it, compressed again as the entry records, into `out` at `at`.
// Holds the earlier and the new uncompressed bytes, nothing more. Returns why the result is
// not exactly the bytes the entry records (its length and SHA-256), or nothing.
QString applyPatchEntry(const PatchEntry &entry, QByteArrayView frame, QByteArrayView earlier,
                        QIODevice *out, qint64 at);
