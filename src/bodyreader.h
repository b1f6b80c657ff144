#pragma once

#include "digest.h"

#include <QByteArray>
#include <QObject>

#include <memory>

class QNetworkReply;

// Takes a reply's body off it as it arrives, within bounds, and hashes it on the way: the
// body is held once, not once in the reply's buffer and again in a copy, a server that
// never stops sending cannot fill the memory, and the digest is ready as soon as the
// transfer ends.
class BodyReader : public QObject
{
    Q_OBJECT

public:
    // Becomes a child of the reply. With `expectedSize` (-1: not known) the body must be
    // exactly that long; without it, at most `limit` bytes. With `blake2b` it also takes
    // the BLAKE2b-512 digest on the same pass, for a signature check.
    BodyReader(QNetworkReply *reply, qint64 limit, qint64 expectedSize = -1, bool blake2b = false);

    // After the reply has finished: whether the transfer failed, and why.
    bool failed();
    QString errorString();
    // The whole body, then its lower-case hex SHA-256 and its BLAKE2b-512.
    QByteArray takeBody();
    QString digest();
    QByteArray blake2bDigest();

private:
    void checkLength();
    void read();
    void fail(const QString &reason);

    QNetworkReply *reply;
    const qint64 limit;
    const qint64 expectedSize;
    QByteArray body;
    QString problem;
    Digest sha256{QCryptographicHash::Sha256};
    std::unique_ptr<Digest> blake2b;
};
