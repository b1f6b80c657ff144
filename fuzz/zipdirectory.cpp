// The directory walkers, on any bytes: the one that counts a whole archive's records, and
// the one that reads a package's directory from its last bytes alone, as a server sends
// them. The first byte says how much of the front that one does not get.
#include "zipdirectory.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    qint64 records = -1;
    const QString problem = countZipDirectory(bytes, &records);
    // Each record takes 46 bytes at least.
    if (problem.isEmpty() && (records < 0 || records * 46 > bytes.size()))
        qFatal("%lld records in %lld bytes", records, qlonglong(bytes.size()));

    if (size == 0)
        return 0;
    const qint64 total = bytes.size();
    const QByteArrayView tail = bytes.sliced(qsizetype(total * data[0] / 256));
    ZipDirectory directory;
    qint64 needed = 0;
    const QString unread = readZipDirectory(tail, total, &directory, &needed);
    // What it asks for next lies within the package, and is more than it had.
    if (needed != 0 && (needed <= tail.size() || needed > total))
        qFatal("asks for the last %lld bytes of %lld, having %lld", needed, total,
               qlonglong(tail.size()));
    if (!unread.isEmpty())
        return 0;
    if (directory.offset + directory.tailSize != total || directory.offset < total - tail.size())
        qFatal("directory at %lld, %lld long, in %lld", directory.offset, directory.tailSize, total);
    qint64 next = 0;
    for (const ZipRecord &record : std::as_const(directory.records)) {
        if (record.localOffset < next
            || record.localOffset + 30 + record.compressedSize > directory.offset)
            qFatal("entry at %lld, %lld bytes", record.localOffset, record.compressedSize);
        next = record.localOffset + 30 + record.compressedSize;
    }
    return 0;
}
