// The plan over two directories, from the fuzzer's bytes: the first four give the length
// of the installed package, which follows; the new package is the rest.
#include "deltaplan.h"

#include <QtEndian>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const qsizetype split = qsizetype(qMin<size_t>(qFromLittleEndian<quint32>(data), size - 4));
    const QByteArrayView installed(reinterpret_cast<const char *>(data) + 4, split);
    const QByteArrayView next(reinterpret_cast<const char *>(data) + 4 + split,
                              qsizetype(size) - 4 - split);
    constexpr qint64 gap = 64 * 1024;
    ZipDirectory directory;
    DeltaPlan plan;
    if (!readZipDirectory(next, next.size(), &directory).isEmpty()
        || !planDelta(installed, directory, next.size(), gap, &plan).isEmpty()) {
        return 0;
    }
    // Everything goes before the directory; ranges in order and apart; copies from within
    // the installed package.
    qint64 previous = -gap - 1;
    for (const auto &[first, last] : plan.ranges) {
        if (first < 0 || first > last || last >= directory.offset || first - previous - 1 < gap)
            qFatal("range %lld-%lld after %lld", first, last, previous);
        previous = last;
    }
    for (const DeltaPlan::Copy &copy : plan.copies) {
        if (copy.at < 0 || copy.length < 0 || copy.at + copy.length > directory.offset
            || copy.from < 0 || copy.from + copy.length > installed.size())
            qFatal("copy of %lld bytes from %lld to %lld", copy.length, copy.from, copy.at);
    }
    for (const auto &[at, header] : plan.headers) {
        if (at < 0 || at + header.size() > directory.offset)
            qFatal("header of %lld bytes at %lld", qlonglong(header.size()), at);
    }
    return 0;
}
