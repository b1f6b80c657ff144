#include "signature.h"

#include <QByteArrayList>
#include <QDateTime>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

// Ed25519 over `message`, by libcrypto.
static bool verifies(QByteArrayView key, QByteArrayView signature, QByteArrayView message)
{
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
            EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                        reinterpret_cast<const unsigned char *>(key.data()),
                                        size_t(key.size())),
            &EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    return pkey && context
            && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) == 1
            && EVP_DigestVerify(context.get(),
                                reinterpret_cast<const unsigned char *>(signature.data()),
                                size_t(signature.size()),
                                reinterpret_cast<const unsigned char *>(message.data()),
                                size_t(message.size()))
            == 1;
}

static QByteArray decode(QByteArrayView base64, bool *ok)
{
    const QByteArray::FromBase64Result result = QByteArray::fromBase64Encoding(
            base64.toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    *ok = bool(result) && !base64.isEmpty();
    return result.decoded;
}

// As minisign shows a key id: the 8 bytes as a little-endian number in upper-case hex.
static QString keyIdText(QByteArray id)
{
    std::reverse(id.begin(), id.end());
    return QString::fromLatin1(id.toHex().toUpper());
}

QString utcText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toUTC().toString(Qt::ISODate);
}

QString normalKeyId(const QString &id)
{
    bool hex = false;
    id.toULongLong(&hex, 16);
    return hex && id.size() <= 16 && !id.startsWith(QLatin1Char('+'))
            ? id.toUpper().rightJustified(16, QLatin1Char('0'))
            : QString();
}

QString signatureKeyId(const QByteArray &minisig)
{
    bool ok = false;
    const QByteArray line = minisig.split('\n').value(1).trimmed();
    const QByteArray bytes = decode(line, &ok);
    return ok && bytes.size() == 74 ? keyIdText(bytes.mid(2, 8)) : QString();
}

QString publicKeyId(const QByteArray &publicKey)
{
    bool ok = false;
    const QByteArray bytes = decode(publicKey.trimmed(), &ok);
    return ok && bytes.size() == 42 ? keyIdText(bytes.mid(2, 8)) : QString();
}

// A signed time: plain digits (no sign, no space) of a time that a date can show.
static qint64 signedTime(const QByteArray &value)
{
    const bool digits = !value.isEmpty() && value.size() <= 12
            && std::all_of(value.cbegin(), value.cend(),
                           [](char c) { return c >= '0' && c <= '9'; });
    const qint64 time = digits ? value.toLongLong() : -1;
    return time <= latestSignedTime ? time : -1;
}

SignedRelease readTrustedComment(const QByteArray &comment)
{
    SignedRelease release;
    QList<QByteArray> seen;
    for (const QByteArray &field : comment.split('\t')) {
        const qsizetype colon = field.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray key = field.left(colon);
        const QByteArray raw = field.mid(colon + 1);
        const QString value = QString::fromUtf8(raw);
        const bool known = key == "timestamp" || key == "expires" || key == "file"
                || key == "version" || key == "revokes";
        // The last of two would otherwise win, and the first be what a reader sees.
        if (known && seen.contains(key))
            release.malformed = QStringLiteral("names %1 twice").arg(QString::fromLatin1(key));
        seen.append(key);
        if (key == "timestamp" || key == "expires") {
            const qint64 time = signedTime(raw);
            if (time < 0)
                release.malformed = QStringLiteral("%1 \"%2\" is no time")
                                            .arg(QString::fromLatin1(key), value.left(40));
            (key == "timestamp" ? release.timestamp : release.expires) = time;
        } else if (key == "file") {
            release.file = value;
        } else if (key == "version") {
            release.version = value;
        } else if (key == "revokes") {
            for (const QString &id : value.split(QLatin1Char(','), Qt::SkipEmptyParts))
                release.revokes.append(normalKeyId(id));
        }
    }
    return release;
}

namespace {

// A .minisig text whose signature is one of the vendor's keys' and whose trusted comment
// that key signed with it.
struct Signed
{
    QByteArray edKey;
    QByteArray signature;
    QByteArray comment;
    QString keyId;
};

QString readSigned(const QList<QByteArray> &publicKeys, const QString &signature, Signed *result)
{
    QList<QByteArray> keys;
    for (const QByteArray &publicKey : publicKeys) {
        bool ok = false;
        keys.append(decode(publicKey, &ok));
        if (!ok || keys.last().size() != 42 || !keys.last().startsWith("Ed"))
            return QStringLiteral("the built-in public key is not a minisign key");
    }

    // 1. A whole .minisig text, in the prehashed form.
    if (signature.isEmpty())
        return QStringLiteral("the manifest has no signature");
    bool ok = false;
    const QByteArray text = decode(signature.toUtf8(), &ok);
    if (!ok)
        return QStringLiteral("the signature is not base64");
    QByteArrayList lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QByteArray trustedPrefix = "trusted comment: ";
    bool signatureOk = false;
    bool globalOk = false;
    const QByteArray signed_ = lines.size() >= 4 ? decode(lines.at(1), &signatureOk) : QByteArray();
    const QByteArray global = lines.size() >= 4 ? decode(lines.at(3), &globalOk) : QByteArray();
    if (!signatureOk || !globalOk || signed_.size() != 74 || global.size() != 64
        || !lines.at(0).startsWith("untrusted comment: ")
        || !lines.at(2).startsWith(trustedPrefix)) {
        return QStringLiteral("the signature is not a minisign signature");
    }
    if (signed_.startsWith("Ed"))
        return QStringLiteral(
                "legacy signature of the whole file; only prehashed (ED) signatures are accepted");
    if (!signed_.startsWith("ED"))
        return QStringLiteral("unknown signature algorithm");
    // 2. One of the vendor's keys, the one the signature names.
    const auto key = std::find_if(keys.cbegin(), keys.cend(), [&signed_](const QByteArray &key) {
        return key.mid(2, 8) == signed_.mid(2, 8);
    });
    if (key == keys.cend()) {
        return QStringLiteral("signed by another key (id %1)").arg(keyIdText(signed_.mid(2, 8)));
    }
    // 3. The trusted comment, signed together with the signature.
    *result = {key->mid(10), signed_.mid(10), lines.at(2).mid(trustedPrefix.size()),
               keyIdText(signed_.mid(2, 8))};
    if (!verifies(result->edKey, global, result->signature + result->comment))
        return QStringLiteral("the trusted comment does not verify");
    return QString();
}

// Signed as this very package, not another release served under its name, in a comment
// that says each thing once.
QString checkNamed(const Signed &signed_, const QString &fileName, SignedRelease *release)
{
    SignedRelease read = readTrustedComment(signed_.comment);
    if (!read.malformed.isEmpty())
        return QStringLiteral("the trusted comment %1").arg(read.malformed);
    if (read.file != fileName)
        return QStringLiteral("the trusted comment does not name file:%1").arg(fileName);
    read.keyId = signed_.keyId;
    if (release)
        *release = read;
    return QString();
}

} // namespace

QString checkSignature(const QList<QByteArray> &publicKeys, const QString &signature,
                       const QByteArray &blake2b, const QString &fileName, SignedRelease *release)
{
    Signed signed_;
    const QString refusal = readSigned(publicKeys, signature, &signed_);
    if (!refusal.isEmpty())
        return refusal;
    // 4. The package itself.
    if (!verifies(signed_.edKey, signed_.signature, blake2b))
        return QStringLiteral("the package does not match its signature");
    return checkNamed(signed_, fileName, release);
}

QString checkTrustedComment(const QList<QByteArray> &publicKeys, const QString &signature,
                            const QString &fileName, SignedRelease *release)
{
    Signed signed_;
    const QString refusal = readSigned(publicKeys, signature, &signed_);
    return refusal.isEmpty() ? checkNamed(signed_, fileName, release) : refusal;
}
