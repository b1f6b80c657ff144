#include "signature.h"

#include <QByteArrayList>

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

QString checkSignature(const QByteArray &publicKey, const QString &signature,
                       const QByteArray &blake2b, const QString &fileName)
{
    bool ok = false;
    const QByteArray key = decode(publicKey, &ok);
    if (!ok || key.size() != 42 || !key.startsWith("Ed"))
        return QStringLiteral("the built-in public key is not a minisign key");

    // 1. A whole .minisig text, in the prehashed form.
    if (signature.isEmpty())
        return QStringLiteral("the manifest has no signature");
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
    // 2. The vendor's key.
    if (signed_.mid(2, 8) != key.mid(2, 8)) {
        // As minisign shows a key id: a little-endian number in upper-case hex.
        QByteArray id = signed_.mid(2, 8);
        std::reverse(id.begin(), id.end());
        return QStringLiteral("signed by another key (id %1)")
                .arg(QString::fromLatin1(id.toHex().toUpper()));
    }
    // 3. The trusted comment, signed together with the signature.
    const QByteArrayView edKey = QByteArrayView(key).sliced(10);
    const QByteArray comment = lines.at(2).mid(trustedPrefix.size());
    if (!verifies(edKey, global, signed_.mid(10) + comment))
        return QStringLiteral("the trusted comment does not verify");
    // 4. The package itself.
    if (!verifies(edKey, QByteArrayView(signed_).sliced(10), blake2b))
        return QStringLiteral("the package does not match its signature");
    // 5. Signed as this very package, not another release served under its name.
    if (!comment.split('\t').contains("file:" + fileName.toUtf8())) {
        return QStringLiteral("the trusted comment does not name file:%1").arg(fileName);
    }
    return QString();
}
