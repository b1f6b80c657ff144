#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>

struct evp_md_ctx_st;

// A digest fed piece by piece: SHA-256 or BLAKE2b-512. Uses OpenSSL's implementation
// where the build has it (several times faster than Qt 6.4's own on processors with
// SHA instructions).
class Digest
{
public:
    explicit Digest(QCryptographicHash::Algorithm algorithm);
    ~Digest();
    Digest(const Digest &) = delete;
    Digest &operator=(const Digest &) = delete;

    void addData(QByteArrayView data);
    QByteArray result();

private:
#ifdef UPDATER_OPENSSL
    evp_md_ctx_st *context;
#else
    QCryptographicHash hash;
#endif
};
