#include "deltaplan.h"

#include <QHash>
#include <QtEndian>

#include <algorithm>

namespace {

constexpr quint32 localSignature = 0x04034b50;
constexpr qint64 localSize = 30;
// Set when the checksum and sizes follow the data in a descriptor as well.
constexpr quint16 descriptorFlag = 0x0008;
constexpr quint32 descriptorSignature = 0x08074b50;

struct Key
{
    quint32 crc;
    quint16 method;
    qint64 compressedSize;
    qint64 uncompressedSize;
    bool operator==(const Key &other) const
    {
        return crc == other.crc && method == other.method && compressedSize == other.compressedSize
                && uncompressedSize == other.uncompressedSize;
    }
};

size_t qHash(const Key &key, size_t seed = 0)
{
    return qHashMulti(seed, key.crc, key.method, key.compressedSize, key.uncompressedSize);
}

Key keyOf(const ZipRecord &record)
{
    return {record.crc, record.method, record.compressedSize, record.uncompressedSize};
}

// Where an installed entry's compressed bytes start, or -1 when its local header does
// not hold them whole within the package.
qint64 dataStart(QByteArrayView installed, const ZipRecord &record)
{
    const qint64 at = record.localOffset;
    if (at < 0 || at + localSize > installed.size()
        || qFromLittleEndian<quint32>(installed.data() + at) != localSignature) {
        return -1;
    }
    const qint64 start = at + localSize + qFromLittleEndian<quint16>(installed.data() + at + 26)
            + qFromLittleEndian<quint16>(installed.data() + at + 28);
    return start + record.compressedSize <= installed.size() ? start : -1;
}

// The new entry's local header: the directory's record says everything but what the
// writing tool puts in local headers its own way (the version needed, the extra field),
// which the installed entry's local header, by the same tool, says.
QByteArray localHeader(const ZipRecord &record, QByteArrayView installedHeader)
{
    const qint64 nameLength = qFromLittleEndian<quint16>(installedHeader.data() + 26);
    const qint64 extraLength = qFromLittleEndian<quint16>(installedHeader.data() + 28);
    QByteArray header = installedHeader.first(localSize).toByteArray();
    char *out = header.data();
    qToLittleEndian<quint16>(record.flags, out + 6);
    qToLittleEndian<quint16>(record.method, out + 8);
    qToLittleEndian<quint16>(record.time, out + 10);
    qToLittleEndian<quint16>(record.date, out + 12);
    // With a descriptor the tool may have left these zero here; the installed one says
    // whether it did.
    const bool filledIn = qFromLittleEndian<quint32>(installedHeader.data() + 14) != 0
            || qFromLittleEndian<quint32>(installedHeader.data() + 22) != 0;
    if (!(record.flags & descriptorFlag) || filledIn) {
        qToLittleEndian<quint32>(record.crc, out + 14);
        qToLittleEndian<quint32>(quint32(record.compressedSize), out + 18);
        qToLittleEndian<quint32>(quint32(record.uncompressedSize), out + 22);
    }
    qToLittleEndian<quint16>(quint16(record.name.size()), out + 26);
    return header + record.name
            + installedHeader.sliced(localSize + nameLength, extraLength).toByteArray();
}

// The descriptor that follows an entry's data, when `room` bytes are left for it: with
// its signature (16) or without (12); otherwise none that fits.
QByteArray dataDescriptor(const ZipRecord &record, qint64 room)
{
    if (room != 16 && room != 12)
        return QByteArray();
    QByteArray descriptor(16, Qt::Uninitialized);
    char *out = descriptor.data();
    qToLittleEndian<quint32>(descriptorSignature, out);
    qToLittleEndian<quint32>(record.crc, out + 4);
    qToLittleEndian<quint32>(quint32(record.compressedSize), out + 8);
    qToLittleEndian<quint32>(quint32(record.uncompressedSize), out + 12);
    return descriptor.right(room);
}

} // namespace

void mergeRanges(QList<std::pair<qint64, qint64>> *ranges, qint64 gap)
{
    std::sort(ranges->begin(), ranges->end());
    QList<std::pair<qint64, qint64>> merged;
    for (const auto &range : std::as_const(*ranges)) {
        if (!merged.isEmpty() && range.first - merged.last().second - 1 < gap)
            merged.last().second = qMax(merged.last().second, range.second);
        else
            merged.append(range);
    }
    *ranges = merged;
}

namespace {

// The patch for `record`, which must be of its name, compression and sizes; -1 for none.
qsizetype patchFor(const ZipRecord &record, const QList<PatchEntry> &patches,
                   const QHash<QByteArray, qsizetype> &byName)
{
    const qsizetype index = byName.value(record.name, -1);
    if (index < 0)
        return -1;
    const PatchEntry &patch = patches.at(index);
    return patch.method == record.method && patch.compressedSize == record.compressedSize
                    && patch.uncompressedSize == record.uncompressedSize
            ? index
            : -1;
}

} // namespace

qint64 DeltaPlan::bytesToFetch() const
{
    qint64 bytes = 0;
    for (const auto &range : ranges)
        bytes += range.second - range.first + 1;
    return bytes;
}

QString planDelta(QByteArrayView installed, const ZipDirectory &next, qint64 size, qint64 gap,
                  DeltaPlan *plan, const QList<PatchEntry> &patches)
{
    ZipDirectory old;
    const QString unreadable = readZipDirectory(installed, installed.size(), &old);
    if (!unreadable.isEmpty())
        return QStringLiteral("the installed package: %1").arg(unreadable);
    if (next.offset + next.tailSize != size)
        return QStringLiteral("the directory does not end the package");
    // For each kind of entry the first readable installed one, and the first under each
    // name (the last one inserted): one look-up a new entry, however many are alike.
    QHash<Key, qsizetype> firstOfKind;
    QHash<std::pair<Key, QByteArray>, qsizetype> firstOfName;
    QList<qint64> starts(old.records.size(), -1);
    for (qsizetype i = old.records.size() - 1; i >= 0; --i) {
        const ZipRecord &record = old.records.at(i);
        starts[i] = dataStart(installed, record);
        if (starts.at(i) < 0)
            continue;
        firstOfKind.insert(keyOf(record), i);
        firstOfName.insert({keyOf(record), record.name}, i);
    }

    *plan = DeltaPlan();
    QHash<QByteArray, qsizetype> patchByName;
    for (qsizetype i = 0; i < patches.size(); ++i)
        patchByName.insert(patches.at(i).name, i);
    // The installed entries by name, whatever their bytes, and the first readable one.
    QHash<QByteArray, qsizetype> installedByName;
    qsizetype anyInstalled = -1;
    for (qsizetype i = old.records.size() - 1; i >= 0; --i) {
        if (starts.at(i) >= 0) {
            installedByName.insert(old.records.at(i).name, i);
            anyInstalled = i;
        }
    }
    qint64 covered = 0;
    for (qsizetype i = 0; i < next.records.size(); ++i) {
        const ZipRecord &record = next.records.at(i);
        const qint64 end = i + 1 < next.records.size() ? next.records.at(i + 1).localOffset
                                                       : next.offset;
        if (record.localOffset > covered)
            plan->ranges.append({covered, record.localOffset - 1});
        covered = end;
        // The same bytes under the same name first, then under any; else a patch, from
        // the installed entry of its name when it needs one.
        const qsizetype candidate = firstOfName.value({keyOf(record), record.name},
                                                      firstOfKind.value(keyOf(record), -1));
        qsizetype patch = candidate < 0 ? patchFor(record, patches, patchByName) : -1;
        const qsizetype earlier = installedByName.value(record.name, -1);
        if (patch >= 0 && patches.at(patch).kind == PatchEntry::FromEarlier && earlier < 0)
            patch = -1;
        // Whose local header the new one is made after: an installed one, by the same tool.
        const qsizetype model = candidate >= 0 ? candidate
                : patch < 0                    ? -1
                : earlier >= 0                 ? earlier
                                               : anyInstalled;
        const qint64 from = model < 0 ? -1 : starts.at(model);
        const qint64 installedHeader = model < 0 ? -1 : old.records.at(model).localOffset;
        const qint64 headerLength = end - record.localOffset - record.compressedSize;
        if (from < 0 || headerLength < localSize) {
            plan->ranges.append({record.localOffset, end - 1});
            continue;
        }
        // The local header as the directory implies it; after the data, a descriptor may
        // repeat the checksum and sizes, with or without its signature.
        const QByteArray header = localHeader(
                record, installed.sliced(installedHeader, from - installedHeader));
        const qint64 rest = headerLength - header.size();
        qint64 dataAt = record.localOffset + header.size();
        if (record.flags & descriptorFlag) {
            const QByteArray descriptor = dataDescriptor(record, rest);
            if (descriptor.isEmpty()) {
                plan->ranges.append({record.localOffset, end - 1});
                continue;
            }
            plan->headers.append({record.localOffset, header});
            plan->headers.append({end - descriptor.size(), descriptor});
        } else if (rest == 0) {
            plan->headers.append({record.localOffset, header});
        } else {
            // A local header of its own length (another extra field): fetched.
            plan->ranges.append({record.localOffset, record.localOffset + headerLength - 1});
            dataAt = record.localOffset + headerLength;
        }
        if (candidate >= 0) {
            plan->copies.append({dataAt, record.compressedSize, from});
            ++plan->reused;
            continue;
        }
        const ZipRecord *base = earlier >= 0 ? &old.records.at(earlier) : nullptr;
        plan->patched.append({dataAt,
                              patch,
                              base ? starts.at(earlier) : -1,
                              base ? base->method : quint16(0),
                              base ? base->compressedSize : 0,
                              base ? base->uncompressedSize : 0,
                              {record.localOffset, end - 1}});
    }
    if (next.offset > covered)
        plan->ranges.append({covered, next.offset - 1});
    mergeRanges(&plan->ranges, gap);
    return QString();
}
