#pragma once

#include <QByteArray>
#include <QByteArrayView>

struct evp_md_ctx_st;
class QCryptographicHash;

// SHA-256 fed piece by piece. Uses OpenSSL's implementation where the build has it
// (several times faster than Qt 6.4's own on processors with SHA instructions).
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(QByteArrayView data);
    // Lower-case hex text of the digest, 64 characters.
    QByteArray hexResult();

private:
#ifdef UPDATER_OPENSSL_SHA256
    evp_md_ctx_st *context;
#else
    QCryptographicHash *hash;
#endif
};
