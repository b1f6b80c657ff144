#include "packagereader.h"

#include <QNetworkReply>

PackageReader::PackageReader(QNetworkReply *reply) : QObject(reply), reply(reply)
{
    // Without a limit the network thread reads ahead of us, and what piles up in between
    // stays in the process's memory for the rest of the run.
    reply->setReadBufferSize(4 * 1024 * 1024);
    // Room for the announced length saves copies while the body grows; the length is
    // only a hint, so a server that claims too much does not get it all.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        const qint64 length = this->reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (length > body.capacity() && length <= qint64(1) << 31)
            body.reserve(length);
    });
    connect(reply, &QNetworkReply::readyRead, this, &PackageReader::read);
}

void PackageReader::read()
{
    const qint64 available = reply->bytesAvailable();
    if (available <= 0)
        return;
    const qsizetype start = body.size();
    body.resize(start + available);
    const qint64 got = reply->read(body.data() + start, available);
    body.resize(start + qMax<qint64>(got, 0));
    hash.addData(QByteArrayView(body).sliced(start));
}

QByteArray PackageReader::takeBody()
{
    read();
    return std::move(body);
}

QString PackageReader::digest()
{
    return QString::fromLatin1(hash.hexResult());
}
