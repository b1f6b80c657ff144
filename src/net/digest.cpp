#include "digest.h"

#include <QString>

#include <openssl/evp.h>

#include <memory>

Digest::Digest(QCryptographicHash::Algorithm algorithm) : context(EVP_MD_CTX_new())
{
    const EVP_MD *md = algorithm == QCryptographicHash::Sha256 ? EVP_sha256()
            : algorithm == QCryptographicHash::Blake2b_512     ? EVP_blake2b512()
                                                               : nullptr;
    if (!context || !md || !EVP_DigestInit_ex(context, md, nullptr))
        qFatal("digest %d is not available", int(algorithm));
}

Digest::~Digest()
{
    EVP_MD_CTX_free(context);
}

void Digest::addData(QByteArrayView data)
{
    EVP_DigestUpdate(context, data.data(), size_t(data.size()));
}

QByteArray Digest::result() const
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    if (!copy || !EVP_MD_CTX_copy_ex(copy, context) || !EVP_DigestFinal_ex(copy, digest, &length))
        length = 0;
    EVP_MD_CTX_free(copy);
    return QByteArray(reinterpret_cast<const char *>(digest), int(length));
}

QString sha256Of(QByteArrayView bytes, QByteArray *blake2b)
{
    // In pieces, so that mapped pages are read in order.
    constexpr qsizetype piece = 4 * 1024 * 1024;
    Digest sha(QCryptographicHash::Sha256);
    std::unique_ptr<Digest> blake;
    if (blake2b)
        blake = std::make_unique<Digest>(QCryptographicHash::Blake2b_512);
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        const QByteArrayView part = bytes.sliced(at, qMin(piece, bytes.size() - at));
        sha.addData(part);
        if (blake)
            blake->addData(part);
    }
    if (blake2b)
        *blake2b = blake->result();
    return QString::fromLatin1(sha.result().toHex());
}
