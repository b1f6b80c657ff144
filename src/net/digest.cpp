#include "digest.h"

#include <openssl/evp.h>

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
