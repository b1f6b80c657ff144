#include "zipdirectory.h"

#include <QtEndian>

namespace {

constexpr quint32 endSignature = 0x06054b50;
constexpr quint32 end64Signature = 0x06064b50;
constexpr quint32 locator64Signature = 0x07064b50;
constexpr quint32 recordSignature = 0x02014b50;
constexpr qint64 endSize = 22;
constexpr qint64 end64Size = 56;
constexpr qint64 locator64Size = 20;
constexpr qint64 recordSize = 46;

class Reader
{
public:
    explicit Reader(QByteArrayView bytes) : bytes(bytes) { }

    bool has(qint64 at, qint64 length) const
    {
        return at >= 0 && length >= 0 && at <= bytes.size() && length <= bytes.size() - at;
    }
    template<typename T>
    T read(qint64 at) const
    {
        return qFromLittleEndian<T>(bytes.data() + at);
    }

private:
    QByteArrayView bytes;
};

} // namespace

QString countZipDirectory(QByteArrayView archive, qint64 *records)
{
    const Reader zip(archive);
    // The end record is the last thing in the archive but for a comment of up to 64 KiB.
    qint64 end = -1;
    for (qint64 at = archive.size() - endSize; at >= 0 && at >= archive.size() - endSize - 0xffff;
         --at) {
        if (zip.read<quint32>(at) == endSignature) {
            end = at;
            break;
        }
    }
    if (end < 0) {
        return QStringLiteral("pas de fin de répertoire");
    }
    quint64 declared = zip.read<quint16>(end + 10);
    quint64 size = zip.read<quint32>(end + 12);
    quint64 offset = zip.read<quint32>(end + 16);
    qint64 directoryEnd = end;
    const qint64 locator = end - locator64Size;
    if (zip.has(locator, locator64Size) && zip.read<quint32>(locator) == locator64Signature) {
        const quint64 at = zip.read<quint64>(locator + 8);
        if (at > quint64(archive.size()) || !zip.has(qint64(at), end64Size)
            || zip.read<quint32>(qint64(at)) != end64Signature) {
            return QStringLiteral("fin de répertoire zip64 introuvable");
        }
        declared = zip.read<quint64>(qint64(at) + 32);
        size = zip.read<quint64>(qint64(at) + 40);
        offset = zip.read<quint64>(qint64(at) + 48);
        directoryEnd = qint64(at);
    }
    // Data before the archive (a self-extracting stub) shifts every offset alike.
    if (size > quint64(directoryEnd) || offset > quint64(directoryEnd) - size) {
        return QStringLiteral("répertoire hors de l'archive");
    }
    const qint64 shift = directoryEnd - qint64(offset + size);

    qint64 count = 0;
    qint64 at = shift + qint64(offset);
    while (at < directoryEnd) {
        if (!zip.has(at, recordSize) || at + recordSize > directoryEnd
            || zip.read<quint32>(at) != recordSignature) {
            return QStringLiteral("entrée %1 du répertoire endommagée").arg(count + 1);
        }
        at += recordSize + zip.read<quint16>(at + 28) + zip.read<quint16>(at + 30)
                + zip.read<quint16>(at + 32);
        ++count;
    }
    if (at != directoryEnd) {
        return QStringLiteral("entrée %1 du répertoire tronquée").arg(count);
    }
    if (quint64(count) != declared) {
        return QStringLiteral("le répertoire compte %1 entrées, la fin en annonce %2")
                .arg(count)
                .arg(declared);
    }
    *records = count;
    return QString();
}

QString readZipDirectory(QByteArrayView tail, qint64 archiveSize, ZipDirectory *directory,
                         qint64 *needed)
{
    const Reader zip(tail);
    const qint64 base = archiveSize - tail.size();
    qint64 end = -1;
    for (qint64 at = tail.size() - endSize; at >= 0 && at >= tail.size() - endSize - 0xffff; --at) {
        if (zip.read<quint32>(at) == endSignature) {
            end = at;
            break;
        }
    }
    if (end < 0 || base < 0)
        return QStringLiteral("no end of directory");
    const qint64 locator = end - locator64Size;
    const quint16 declared = zip.read<quint16>(end + 10);
    const quint32 size = zip.read<quint32>(end + 12);
    const quint32 offset = zip.read<quint32>(end + 16);
    if ((zip.has(locator, locator64Size) && zip.read<quint32>(locator) == locator64Signature)
        || declared == 0xffff || size == 0xffffffffu || offset == 0xffffffffu) {
        return QStringLiteral("a zip64 archive");
    }
    if (qint64(offset) + qint64(size) != base + end)
        return QStringLiteral("the directory is not where the end record says");
    directory->offset = offset;
    directory->tailSize = archiveSize - offset;
    if (offset < base) {
        if (needed)
            *needed = directory->tailSize;
        return QStringLiteral("the directory is longer than what was read");
    }
    qint64 at = qint64(offset) - base;
    qint64 next = 0;
    directory->records.clear();
    while (at < end) {
        if (!zip.has(at, recordSize) || zip.read<quint32>(at) != recordSignature)
            return QStringLiteral("directory record %1 damaged").arg(directory->records.size() + 1);
        const qint64 nameLength = zip.read<quint16>(at + 28);
        const qint64 extraLength = zip.read<quint16>(at + 30);
        const qint64 length = recordSize + nameLength + extraLength + zip.read<quint16>(at + 32);
        if (!zip.has(at, length) || at + length > end)
            return QStringLiteral("directory record %1 cut short").arg(directory->records.size() + 1);
        ZipRecord record;
        record.versionNeeded = zip.read<quint16>(at + 6);
        record.flags = zip.read<quint16>(at + 8);
        record.method = zip.read<quint16>(at + 10);
        record.time = zip.read<quint16>(at + 12);
        record.date = zip.read<quint16>(at + 14);
        record.crc = zip.read<quint32>(at + 16);
        record.compressedSize = zip.read<quint32>(at + 20);
        record.uncompressedSize = zip.read<quint32>(at + 24);
        record.localOffset = zip.read<quint32>(at + 42);
        record.name = tail.sliced(at + recordSize, nameLength).toByteArray();
        record.extra = tail.sliced(at + recordSize + nameLength, extraLength).toByteArray();
        // Each entry after the one before, and all of them before the directory.
        if (record.localOffset < next || record.localOffset + 30 + record.compressedSize > offset)
            return QStringLiteral("entries out of order or overlapping");
        next = record.localOffset + 30 + record.compressedSize;
        directory->records.append(record);
        at += length;
    }
    if (directory->records.size() != declared)
        return QStringLiteral("the directory's count differs from the end record's");
    return QString();
}
