// The pre-flight, on any bytes given to it as an archive.
#include "preflight.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>

#include <quazip.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    if (!zip.open(QuaZip::mdUnzip))
        return 0;
    InstallPlan plan;
    if (!planInstallation(zip, bytes, 4096, &plan).isEmpty())
        return 0;
    if (plan.bytesNeeded < 0 || plan.bytesNeeded > (qint64(1) << 62) + plan.nodesNeeded * 4096
        || plan.nodesNeeded < 2) {
        qFatal("a plan of %lld bytes and %lld files", plan.bytesNeeded, plan.nodesNeeded);
    }
    return 0;
}
