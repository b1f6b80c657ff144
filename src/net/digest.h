#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>

struct evp_md_ctx_st;

// A digest fed piece by piece: SHA-256 or BLAKE2b-512, by OpenSSL (several times faster
// than Qt 6.4's own on processors with SHA instructions).
class Digest
{
public:
    explicit Digest(QCryptographicHash::Algorithm algorithm);
    ~Digest();
    Digest(const Digest &) = delete;
    Digest &operator=(const Digest &) = delete;

    void addData(QByteArrayView data);
    // The digest of what was added so far; more may be added after.
    QByteArray result() const;

private:
    evp_md_ctx_st *context;
};

// The lower-case hex SHA-256 of `bytes`, and with `blake2b` their BLAKE2b-512 too, on one
// pass.
QString sha256Of(QByteArrayView bytes, QByteArray *blake2b = nullptr);
