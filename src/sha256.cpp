#include "sha256.h"

#ifdef UPDATER_OPENSSL_SHA256
#    include <openssl/evp.h>

Sha256::Sha256() : context(EVP_MD_CTX_new())
{
    if (!context || !EVP_DigestInit_ex(context, EVP_sha256(), nullptr))
        qFatal("SHA-256 is not available");
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(context);
}

void Sha256::addData(QByteArrayView data)
{
    EVP_DigestUpdate(context, data.data(), size_t(data.size()));
}

QByteArray Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}
#else
#    include <QCryptographicHash>

Sha256::Sha256() : hash(new QCryptographicHash(QCryptographicHash::Sha256)) { }

Sha256::~Sha256()
{
    delete hash;
}

void Sha256::addData(QByteArrayView data)
{
    hash->addData(data);
}

QByteArray Sha256::hexResult()
{
    return hash->result().toHex();
}
#endif
