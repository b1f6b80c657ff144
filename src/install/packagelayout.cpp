#include "packagelayout.h"

#include "patching.h"

#include <QDebug>
#include <QFileDevice>
#include <QIODevice>

// Each patched entry in its place, or its range to fetch; the earlier entry and the new
// one are held one entry at a time, and only when neither is over the bound.
static int applyPatches(QByteArrayView installed, const PatchSource &patches, DeltaPlan *plan,
                        QIODevice *out)
{
    int patched = 0;
    for (const DeltaPlan::Patched &entry : std::as_const(plan->patched)) {
        const PatchEntry &patch = patches.entries.at(entry.patch);
        QString why;
        if (patch.uncompressedSize > patches.limit || entry.uncompressedSize > patches.limit)
            why = QStringLiteral("over %1 bytes").arg(patches.limit);
        QByteArray earlier;
        if (why.isEmpty() && patch.kind == PatchEntry::FromEarlier)
            why = inflateEntry(installed.sliced(entry.from, entry.compressedSize), entry.method,
                               entry.uncompressedSize, &earlier);
        if (why.isEmpty())
            why = applyPatchEntry(patch, patches.bytes.sliced(patch.frameOffset, patch.frameLength),
                                  earlier, out, entry.at);
        if (why.isEmpty()) {
            ++patched;
        } else {
            qDebug().noquote() << "Patch of" << QString::fromUtf8(patch.name) << "not used:" << why;
            plan->ranges.append(entry.range);
        }
    }
    return patched;
}

static bool resize(QIODevice *out, qint64 size)
{
    auto *file = qobject_cast<QFileDevice *>(out);
    return file ? file->resize(size) : out->seek(size - 1) && out->write("", 1) == 1;
}

QString layOutPackage(QByteArrayView installed, const QByteArray &tail, qint64 size,
                      const PatchSource &patches, qint64 gap, DeltaPlan *plan, QIODevice *out,
                      int *patched)
{
    bool written = resize(out, size) && out->seek(size - tail.size())
            && out->write(tail) == tail.size();
    for (const auto &[at, header] : std::as_const(plan->headers))
        written = written && out->seek(at) && out->write(header) == header.size();
    for (const DeltaPlan::Copy &copy : std::as_const(plan->copies)) {
        written = written && out->seek(copy.at)
                && out->write(installed.sliced(copy.from, copy.length).data(), copy.length)
                        == copy.length;
    }
    if (!written)
        return out->errorString();
    *patched = applyPatches(installed, patches, plan, out);
    mergeRanges(&plan->ranges, gap);
    return QString();
}
