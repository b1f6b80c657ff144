// The manifest reader.
#include "releasemanifest.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ReleaseManifest manifest;
    const QString problem = parseManifest(
            QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), &manifest);
    if (problem.isEmpty() && manifest.size > (qint64(1) << 53))
        qFatal("a size of %lld bytes", manifest.size);
    return 0;
}
