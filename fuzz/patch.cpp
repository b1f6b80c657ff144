// The patch file reader, and the rebuilding of small entries from what it read.
#include "patchfile.h"
#include "patching.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView file(data, qsizetype(size));
    QList<PatchEntry> entries;
    if (!readPatchFile(file, &entries).isEmpty())
        return 0;
    for (const PatchEntry &entry : entries) {
        if (entry.frameOffset < 0 || entry.frameOffset + entry.frameLength > file.size())
            qFatal("a frame outside the file");
        if (entry.uncompressedSize > 1024 * 1024)
            continue;
        // The entry's own name as the earlier bytes, whatever its kind says.
        QByteArray out;
        QBuffer buffer(&out);
        buffer.open(QIODevice::WriteOnly);
        applyPatchEntry(entry, file.sliced(entry.frameOffset, entry.frameLength), entry.name,
                        &buffer, 0);
        if (out.size() > entry.compressedSize)
            qFatal("more bytes written than the entry has");
    }
    return 0;
}
