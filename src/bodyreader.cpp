#include "bodyreader.h"

#include <QNetworkReply>
#include <QTimer>

BodyReader::BodyReader(QNetworkReply *reply, qint64 limit, qint64 expectedSize, bool blake2b)
    : QObject(reply), reply(reply), limit(limit), expectedSize(expectedSize)
{
    if (blake2b)
        this->blake2b = std::make_unique<Digest>(QCryptographicHash::Blake2b_512);
    // Without a limit the network thread reads ahead of us, and what piles up in between
    // stays in the process's memory for the rest of the run.
    reply->setReadBufferSize(4 * 1024 * 1024);
    connect(reply, &QNetworkReply::metaDataChanged, this, &BodyReader::checkLength);
    connect(reply, &QNetworkReply::readyRead, this, &BodyReader::read);
}

void BodyReader::checkLength()
{
    if (expectedSize > limit) {
        fail(QStringLiteral("The manifest's size of %1 bytes is over the limit of %2 bytes")
                     .arg(expectedSize)
                     .arg(limit));
        return;
    }
    const QVariant header = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!header.isValid())
        return;
    const qint64 length = header.toLongLong();
    if (expectedSize >= 0 && length != expectedSize) {
        fail(QStringLiteral("Content-Length %1 differs from the manifest's size of %2 bytes")
                     .arg(length)
                     .arg(expectedSize));
    } else if (length > limit) {
        fail(QStringLiteral("Content-Length %1 is over the limit of %2 bytes")
                     .arg(length)
                     .arg(limit));
    } else if (length > body.capacity()) {
        // Room for the whole body saves copies while it grows.
        body.reserve(length);
    }
}

void BodyReader::read()
{
    const qint64 available = reply->bytesAvailable();
    if (available <= 0 || !problem.isEmpty())
        return;
    const qint64 allowed = expectedSize >= 0 ? expectedSize : limit;
    if (available > allowed - body.size()) {
        fail(expectedSize >= 0
                     ? QStringLiteral("More than the manifest's size of %1 bytes").arg(expectedSize)
                     : QStringLiteral("More than the limit of %1 bytes").arg(limit));
        return;
    }
    const qsizetype start = body.size();
    body.resize(start + available);
    const qint64 got = reply->read(body.data() + start, available);
    body.resize(start + qMax<qint64>(got, 0));
    const QByteArrayView piece = QByteArrayView(body).sliced(start);
    sha256.addData(piece);
    if (blake2b)
        blake2b->addData(piece);
}

void BodyReader::fail(const QString &reason)
{
    if (!problem.isEmpty())
        return;
    problem = reason;
    // Not from inside the reply's own signal: finished would reach the window there.
    QTimer::singleShot(0, reply, &QNetworkReply::abort);
}

bool BodyReader::failed()
{
    read();
    if (problem.isEmpty() && reply->error() == QNetworkReply::NoError && expectedSize >= 0
        && body.size() < expectedSize) {
        problem = QStringLiteral("%1 bytes received, fewer than the manifest's size of %2 bytes")
                          .arg(body.size())
                          .arg(expectedSize);
    }
    return !problem.isEmpty() || reply->error() != QNetworkReply::NoError;
}

QString BodyReader::errorString()
{
    return problem.isEmpty() ? reply->errorString() : problem;
}

QByteArray BodyReader::takeBody()
{
    read();
    return std::move(body);
}

QString BodyReader::digest()
{
    return QString::fromLatin1(sha256.result().toHex());
}

QByteArray BodyReader::blake2bDigest()
{
    return blake2b ? blake2b->result() : QByteArray();
}
