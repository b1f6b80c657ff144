#pragma once

#include "sha256.h"

#include <QByteArray>
#include <QObject>

class QNetworkReply;

// Takes the package off its reply as it arrives and hashes it on the way: the body is
// held once, not once in the reply's buffer and again in a copy, and the digest is
// ready as soon as the transfer ends.
class PackageReader : public QObject
{
    Q_OBJECT

public:
    // Becomes a child of the reply.
    explicit PackageReader(QNetworkReply *reply);

    // After the reply has finished: the whole body, then its lower-case hex SHA-256.
    QByteArray takeBody();
    QString digest();

private:
    void read();

    QNetworkReply *reply;
    QByteArray body;
    Sha256 hash;
};
