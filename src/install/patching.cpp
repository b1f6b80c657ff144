#include "patching.h"

#include <QCryptographicHash>
#include <QIODevice>

#include <zlib.h>
#include <zstd.h>

#include <memory>

namespace {

constexpr qint64 chunk = 1024 * 1024;

// Compresses `raw` as the entry records into `out` at `at`, a chunk at a time, hashing
// what it writes; why the result is not the recorded one, or nothing.
QString deflateInto(const PatchEntry &entry, QByteArrayView raw, QIODevice *out, qint64 at)
{
    z_stream stream = {};
    if (deflateInit2(&stream, entry.level, Z_DEFLATED, -MAX_WBITS, entry.memLevel, entry.strategy)
        != Z_OK) {
        return QStringLiteral("cannot compress");
    }
    const std::unique_ptr<z_stream, int (*)(z_stream *)> end(&stream, deflateEnd);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(chunk, Qt::Uninitialized);
    qint64 written = 0;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(raw.data()));
    int result = Z_OK;
    if (!out->seek(at))
        return out->errorString();
    while (result == Z_OK) {
        // Fed in pieces that an unsigned int can count.
        const qint64 left = raw.size()
                - qint64(reinterpret_cast<const char *>(stream.next_in) - raw.data());
        stream.avail_in = uInt(qMin(left, qint64(1) << 30));
        stream.next_out = reinterpret_cast<Bytef *>(buffer.data());
        stream.avail_out = uInt(buffer.size());
        result = deflate(&stream, left > stream.avail_in ? Z_NO_FLUSH : Z_FINISH);
        const qint64 produced = buffer.size() - stream.avail_out;
        written += produced;
        if (written > entry.compressedSize)
            return QStringLiteral("it compresses to more than %1 bytes").arg(entry.compressedSize);
        hash.addData(QByteArrayView(buffer.constData(), produced));
        if (out->write(buffer.constData(), produced) != produced)
            return out->errorString();
    }
    if (result != Z_STREAM_END || written != entry.compressedSize)
        return QStringLiteral("it compresses to %1 bytes, not %2")
                .arg(written)
                .arg(entry.compressedSize);
    return hash.result() == entry.sha256
            ? QString()
            : QStringLiteral("its compressed bytes are not the recorded ones");
}

} // namespace

QString inflateEntry(QByteArrayView data, quint16 method, qint64 size, QByteArray *raw)
{
    if (method == 0) {
        *raw = data.toByteArray();
        return data.size() == size ? QString() : QStringLiteral("a stored entry of another length");
    }
    z_stream stream = {};
    if (method != 8 || inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return QStringLiteral("an entry compressed with method %1").arg(method);
    const std::unique_ptr<z_stream, int (*)(z_stream *)> end(&stream, inflateEnd);
    raw->resize(size);
    qint64 in = 0;
    qint64 produced = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data() + in));
        stream.avail_in = uInt(qMin(data.size() - in, qint64(1) << 30));
        stream.next_out = reinterpret_cast<Bytef *>(raw->data() + produced);
        stream.avail_out = uInt(qMin(size - produced, qint64(1) << 30));
        const uInt before = stream.avail_in;
        const uInt room = stream.avail_out;
        result = inflate(&stream, Z_NO_FLUSH);
        in += before - stream.avail_in;
        produced += room - stream.avail_out;
        if (result == Z_OK && before == stream.avail_in && room == stream.avail_out)
            break;
    }
    if (result != Z_STREAM_END || produced != size)
        return QStringLiteral("the earlier entry does not inflate to %1 bytes").arg(size);
    return QString();
}

QString applyPatchEntry(const PatchEntry &entry, QByteArrayView frame, QByteArrayView earlier,
                        QIODevice *out, qint64 at)
{
    const std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> context(ZSTD_createDCtx(),
                                                                      ZSTD_freeDCtx);
    if (!context)
        return QStringLiteral("no memory to decompress");
    // The window of a patch spans the earlier entry and the new one.
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax,
                           ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
    if (entry.kind == PatchEntry::FromEarlier
        && ZSTD_isError(
                ZSTD_DCtx_refPrefix(context.get(), earlier.data(), size_t(earlier.size())))) {
        return QStringLiteral("cannot use the earlier entry");
    }
    // Decompressed in one pass, straight into its place: no window beside it.
    QByteArray raw(entry.uncompressedSize, Qt::Uninitialized);
    const size_t length = ZSTD_decompressDCtx(context.get(), raw.data(), size_t(raw.size()),
                                              frame.data(), size_t(frame.size()));
    if (ZSTD_isError(length))
        return QStringLiteral("the patch does not apply: %1")
                .arg(QLatin1String(ZSTD_getErrorName(length)));
    if (qint64(length) != entry.uncompressedSize)
        return QStringLiteral("the patch gives %1 bytes, not %2")
                .arg(length)
                .arg(entry.uncompressedSize);
    if (entry.method == 0) {
        // Stored, the entry's bytes are these exactly, and no more may be written.
        if (raw.size() != entry.compressedSize
            || QCryptographicHash::hash(raw, QCryptographicHash::Sha256) != entry.sha256)
            return QStringLiteral("its bytes are not the recorded ones");
        return out->seek(at) && out->write(raw) == raw.size() ? QString() : out->errorString();
    }
    return deflateInto(entry, raw, out, at);
}
