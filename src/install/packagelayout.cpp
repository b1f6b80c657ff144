#include "packagelayout.h"

#include "patching.h"
#include "regularfile.h"
#include "workers.h"

#include <QDebug>
#include <QFile>
#include <QFileDevice>
#include <QIODevice>
#include <QThread>

#include <algorithm>
#include <numeric>

namespace {

// Two entries at once only while the two together stay within twice the largest one plus
// 64 MiB, which is what one at a time may hold.
constexpr qint64 sideBySide = 32 * 1024 * 1024;

// Rebuilds one patched entry into `out`; why not, or nothing.
QString patchOne(QByteArrayView installed, const PatchSource &patches,
                 const DeltaPlan::Patched &entry, QIODevice *out)
{
    const PatchEntry &patch = patches.entries.at(entry.patch);
    if (patch.uncompressedSize > patches.limit || entry.uncompressedSize > patches.limit)
        return QStringLiteral("over %1 bytes").arg(patches.limit);
    QByteArray earlier;
    QString why;
    if (patch.kind == PatchEntry::FromEarlier)
        why = inflateEntry(installed.sliced(entry.from, entry.compressedSize), entry.method,
                           entry.uncompressedSize, &earlier);
    return why.isEmpty()
            ? applyPatchEntry(patch, patches.bytes.sliced(patch.frameOffset, patch.frameLength),
                              earlier, out, entry.at)
            : why;
}

// The patched entries shared out, the largest first to the share with the least.
QList<QList<qsizetype>> shareOut(const DeltaPlan &plan, const PatchSource &patches, int shares)
{
    QList<qsizetype> order(plan.patched.size());
    std::iota(order.begin(), order.end(), 0);
    const auto cost = [&](qsizetype i) {
        return patches.entries.at(plan.patched.at(i).patch).uncompressedSize;
    };
    std::sort(order.begin(), order.end(),
              [&](qsizetype a, qsizetype b) { return cost(a) > cost(b); });
    QList<QList<qsizetype>> lists(shares);
    QList<qint64> loads(shares, 0);
    for (const qsizetype i : order) {
        const auto least = std::min_element(loads.begin(), loads.end()) - loads.begin();
        lists[least].append(i);
        loads[least] += cost(i);
    }
    return lists;
}

// Each patched entry in its place, or its range to fetch. Into the file `path`, the
// entries are rebuilt on two threads when they are small enough, each writing through a
// handle of its own; the log hears of them afterwards, from this thread.
int applyPatches(QByteArrayView installed, const PatchSource &patches, DeltaPlan *plan,
                 QIODevice *out, const QString &path)
{
    qint64 largest = 0;
    for (const DeltaPlan::Patched &entry : std::as_const(plan->patched)) {
        largest = qMax(
                largest,
                qMax(entry.uncompressedSize, patches.entries.at(entry.patch).uncompressedSize));
    }
    auto *file = qobject_cast<QFileDevice *>(out);
    const bool own = file && !path.isEmpty();
    const int shares = own && largest <= sideBySide ? qBound(1, QThread::idealThreadCount(), 2) : 1;
    if (file)
        file->flush();
    const QList<QList<qsizetype>> lists = shareOut(*plan, patches, shares);
    // What no share got to stays unwritten.
    QStringList problems(plan->patched.size(), QStringLiteral("cannot write the package"));
    runShares(shares, [&](int share) {
        QFile handle(path);
        if (own && !openRegular(handle, QIODevice::ReadWrite))
            return;
        for (const qsizetype i : lists.at(share))
            problems[i] = patchOne(installed, patches, plan->patched.at(i), own ? &handle : out);
    });
    int patched = 0;
    for (qsizetype i = 0; i < plan->patched.size(); ++i) {
        const DeltaPlan::Patched &entry = plan->patched.at(i);
        if (problems.at(i).isEmpty()) {
            ++patched;
            continue;
        }
        qDebug().noquote() << "Patch of" << QString::fromUtf8(patches.entries.at(entry.patch).name)
                           << "not used:" << problems.at(i);
        plan->ranges.append(entry.range);
    }
    return patched;
}

} // namespace

static bool resize(QIODevice *out, qint64 size)
{
    auto *file = qobject_cast<QFileDevice *>(out);
    return file ? file->resize(size) : out->seek(size - 1) && out->write("", 1) == 1;
}

QString layOutPackage(QByteArrayView installed, const QByteArray &tail, qint64 size,
                      const PatchSource &patches, qint64 gap, DeltaPlan *plan, QIODevice *out,
                      const QString &path, int *patched)
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
    *patched = applyPatches(installed, patches, plan, out, path);
    mergeRanges(&plan->ranges, gap);
    return QString();
}
