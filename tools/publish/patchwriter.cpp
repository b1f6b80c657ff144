#include "patchwriter.h"

#include "patchfile.h"
#include "patching.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QSet>

#include <quazip.h>
#include <quazipfile.h>

#include <zstd.h>

#include <memory>
#include <set>
#include <tuple>

namespace {

// How the package writer compresses: zlib's default level, minizip's memory level.
constexpr quint8 packageLevel = 6;
constexpr quint8 packageMemLevel = 8;

using Key = std::tuple<quint32, quint16, qint64, qint64>;

// The current entry's bytes, compressed as stored or inflated.
bool readCurrent(QuaZip &zip, bool raw, QByteArray *bytes)
{
    QuaZipFile file(&zip);
    int method = 0;
    int level = 0;
    if (!file.open(QIODevice::ReadOnly, &method, &level, raw))
        return false;
    *bytes = file.readAll();
    file.close();
    return raw || file.getZipError() == UNZ_OK;
}

QString compress(const QByteArray &raw, const QByteArray &prefix, QByteArray *frame)
{
    const std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(),
                                                                      ZSTD_freeCCtx);
    // A window over the earlier bytes and the new, as zstd --patch-from makes it.
    int windowLog = 10;
    while (windowLog < 30 && (qint64(1) << windowLog) < raw.size() + prefix.size())
        ++windowLog;
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
    if (!prefix.isEmpty())
        ZSTD_CCtx_refPrefix(context.get(), prefix.constData(), size_t(prefix.size()));
    frame->resize(qsizetype(ZSTD_compressBound(size_t(raw.size()))));
    const size_t length = ZSTD_compress2(context.get(), frame->data(), size_t(frame->size()),
                                         raw.constData(), size_t(raw.size()));
    if (ZSTD_isError(length))
        return QString::fromLatin1(ZSTD_getErrorName(length));
    frame->resize(qsizetype(length));
    return QString();
}

// The entry of the current file of `next`, when `earlier` (open) can rebuild it.
QString patchEntry(QuaZip &next, const QuaZipFileInfo64 &info, QuaZip &earlier,
                   const QSet<QString> &earlierNames, PatchEntry *entry, QByteArray *frame)
{
    QByteArray stored;
    QByteArray raw;
    if (!readCurrent(next, true, &stored) || !readCurrent(next, false, &raw))
        return QStringLiteral("cannot read %1").arg(info.name);
    entry->name = info.name.toUtf8();
    entry->method = quint8(info.method);
    entry->level = packageLevel;
    entry->memLevel = packageMemLevel;
    entry->sha256 = QCryptographicHash::hash(stored, QCryptographicHash::Sha256);
    entry->compressedSize = stored.size();
    entry->uncompressedSize = raw.size();
    QByteArray prefix;
    if (earlierNames.contains(info.name)) {
        earlier.setCurrentFile(info.name, QuaZip::csSensitive);
        if (!readCurrent(earlier, false, &prefix))
            return QStringLiteral("cannot read the earlier %1").arg(info.name);
        entry->kind = PatchEntry::FromEarlier;
    }
    return compress(raw, prefix, frame);
}

// Whether the updater's way gives back the stored bytes exactly.
bool rebuilds(PatchEntry entry, const QByteArray &frame, QuaZip &earlier)
{
    QByteArray prefix;
    if (entry.kind == PatchEntry::FromEarlier) {
        earlier.setCurrentFile(QString::fromUtf8(entry.name), QuaZip::csSensitive);
        readCurrent(earlier, false, &prefix);
    }
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    return applyPatchEntry(entry, frame, prefix, &buffer, 0).isEmpty();
}

} // namespace

QString writePatchFile(const QString &earlierPath, const QString &nextPath, const QString &target,
                       int *entries)
{
    QuaZip earlier(earlierPath);
    QuaZip next(nextPath);
    if (!earlier.open(QuaZip::mdUnzip))
        return QStringLiteral("cannot read %1 as a zip archive").arg(earlierPath);
    if (!next.open(QuaZip::mdUnzip))
        return QStringLiteral("cannot read %1 as a zip archive").arg(nextPath);
    std::set<Key> earlierKeys;
    QSet<QString> earlierNames;
    for (const QuaZipFileInfo64 &info : earlier.getFileInfoList64()) {
        earlierKeys.insert({info.crc, info.method, info.compressedSize, info.uncompressedSize});
        if (!info.name.endsWith(QLatin1Char('/')))
            earlierNames.insert(info.name);
    }
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(patchFileStart(0)) < 0)
        return QStringLiteral("cannot write %1: %2").arg(target, file.errorString());
    quint32 count = 0;
    for (bool more = next.goToFirstFile(); more; more = next.goToNextFile()) {
        QuaZipFileInfo64 info;
        next.getCurrentFileInfo(&info);
        if (info.name.endsWith(QLatin1Char('/'))
            || earlierKeys.count(
                    {info.crc, info.method, info.compressedSize, info.uncompressedSize})) {
            continue;
        }
        PatchEntry entry;
        QByteArray frame;
        const QString problem = patchEntry(next, info, earlier, earlierNames, &entry, &frame);
        if (!problem.isEmpty())
            return problem;
        if (!rebuilds(entry, frame, earlier))
            continue;
        entry.frameLength = frame.size();
        if (file.write(patchEntryFields(entry) + frame) < 0)
            return QStringLiteral("cannot write %1: %2").arg(target, file.errorString());
        ++count;
    }
    if (!file.seek(0) || file.write(patchFileStart(count)) < 0 || !file.flush())
        return QStringLiteral("cannot write %1: %2").arg(target, file.errorString());
    *entries = int(count);
    return QString();
}
