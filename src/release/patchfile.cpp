#include "patchfile.h"

#include <QSet>
#include <QtEndian>

namespace {

const QByteArray magic = QByteArrayLiteral("PLPATCH1");
// An entry's fields besides its name: 2 + 5 + 32 + 3 * 8.
constexpr qint64 fixedFields = 63;
constexpr qint64 largest = qint64(1) << 62;

// Reads from `file` in order, and says when it would read past the end.
class Reader
{
public:
    explicit Reader(QByteArrayView file) : file(file) { }

    bool has(qint64 length) const { return length >= 0 && length <= file.size() - at; }
    qint64 position() const { return at; }
    template<typename T>
    T number()
    {
        const T value = qFromLittleEndian<T>(file.data() + at);
        at += sizeof(T);
        return value;
    }
    QByteArray bytes(qint64 length)
    {
        const QByteArray value = file.sliced(at, length).toByteArray();
        at += length;
        return value;
    }
    void skip(qint64 length) { at += length; }

private:
    QByteArrayView file;
    qint64 at = 0;
};

QString readEntry(Reader &in, PatchEntry *entry)
{
    if (!in.has(2))
        return QStringLiteral("cut short in an entry");
    const quint16 nameLength = in.number<quint16>();
    if (nameLength == 0 || !in.has(nameLength + fixedFields - 2))
        return QStringLiteral("cut short in an entry");
    entry->name = in.bytes(nameLength);
    const quint8 kind = in.number<quint8>();
    entry->kind = PatchEntry::Kind(kind);
    entry->method = in.number<quint8>();
    entry->level = in.number<quint8>();
    entry->memLevel = in.number<quint8>();
    entry->strategy = in.number<quint8>();
    entry->sha256 = in.bytes(32);
    entry->compressedSize = qint64(in.number<quint64>());
    entry->uncompressedSize = qint64(in.number<quint64>());
    const quint64 frame = in.number<quint64>();
    if (kind > PatchEntry::FromEarlier || (entry->method != 0 && entry->method != 8)
        || entry->level > 9 || entry->memLevel < 1 || entry->memLevel > 9 || entry->strategy > 4) {
        return QStringLiteral("%1: unknown settings").arg(QString::fromUtf8(entry->name));
    }
    if (entry->compressedSize < 0 || entry->compressedSize > largest || entry->uncompressedSize < 0
        || entry->uncompressedSize > largest || frame > quint64(largest)
        || !in.has(qint64(frame))) {
        return QStringLiteral("%1 claims more than the file holds")
                .arg(QString::fromUtf8(entry->name));
    }
    entry->frameOffset = in.position();
    entry->frameLength = qint64(frame);
    in.skip(entry->frameLength);
    return QString();
}

} // namespace

QString readPatchFile(QByteArrayView file, QList<PatchEntry> *entries)
{
    Reader in(file);
    if (!in.has(magic.size() + 4) || in.bytes(magic.size()) != magic)
        return QStringLiteral("not a patch file");
    const quint32 count = in.number<quint32>();
    // Each entry takes more than its fixed fields: a count that cannot fit is refused
    // before anything is reserved for it.
    if (!in.has(qint64(count) * fixedFields))
        return QStringLiteral("%1 entries claimed, more than the file holds").arg(count);
    entries->clear();
    entries->reserve(count);
    QSet<QByteArray> names;
    for (quint32 i = 0; i < count; ++i) {
        PatchEntry entry;
        const QString problem = readEntry(in, &entry);
        if (!problem.isEmpty())
            return problem;
        if (names.contains(entry.name))
            return QStringLiteral("two entries named %1").arg(QString::fromUtf8(entry.name));
        names.insert(entry.name);
        entries->append(entry);
    }
    return in.has(1) ? QStringLiteral("bytes after the last entry") : QString();
}

QByteArray patchFileStart(quint32 count)
{
    QByteArray start = magic;
    start.resize(magic.size() + 4);
    qToLittleEndian<quint32>(count, start.data() + magic.size());
    return start;
}

QByteArray patchEntryFields(const PatchEntry &entry)
{
    QByteArray fields(2, Qt::Uninitialized);
    qToLittleEndian<quint16>(quint16(entry.name.size()), fields.data());
    fields += entry.name;
    fields += char(entry.kind);
    fields += char(entry.method);
    fields += char(entry.level);
    fields += char(entry.memLevel);
    fields += char(entry.strategy);
    fields += entry.sha256;
    char sizes[24];
    qToLittleEndian<quint64>(quint64(entry.compressedSize), sizes);
    qToLittleEndian<quint64>(quint64(entry.uncompressedSize), sizes + 8);
    qToLittleEndian<quint64>(quint64(entry.frameLength), sizes + 16);
    return fields + QByteArray(sizes, 24);
}
