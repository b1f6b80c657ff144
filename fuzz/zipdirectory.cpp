// The directory walker, on any bytes.
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
    return 0;
}
