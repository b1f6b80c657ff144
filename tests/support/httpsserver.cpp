#include "httpsserver.h"

#include "testenv.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTimer>
#include <QtEndian>

#include <zlib.h>

HttpsServer::HttpsServer(quint16 port, const QString &certDir, const QString &name)
    : chain(QSslCertificate::fromData(readFile(certDir + QLatin1Char('/') + name + ".pem"))),
      key(readFile(certDir + QLatin1Char('/') + name + ".key"), QSsl::Rsa)
{
    if (!listen(QHostAddress::LocalHost, port))
        qFatal("cannot listen on 127.0.0.1:%d: %s", port, qPrintable(errorString()));
}

HttpsServer::~HttpsServer()
{
    for (const QPointer<QSslSocket> &socket : std::as_const(sockets))
        delete socket.data();
}

void HttpsServer::serve(const QString &path, const QByteArray &body, int status, Mode mode,
                        int dripBytes)
{
    responses.insert(path, {status, body, mode, dripBytes, QString(), 0, {}, {}, {}});
}

void HttpsServer::resume()
{
    for (const auto &[socket, rest] : std::as_const(paused)) {
        if (socket) {
            socket->write(rest);
            socket->disconnectFromHost();
        }
    }
    paused.clear();
}

void HttpsServer::redirect(const QString &path, const QString &target, int status, Mode mode,
                           int delay)
{
    responses.insert(path, {status, "Moved", mode, 1, target, delay, {}, {}, {}});
}

QString HttpsServer::url(const QString &path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(serverPort()).arg(path);
}

void HttpsServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QSslSocket;
    sockets.append(socket);
    socket->setSocketDescriptor(socketDescriptor);
    socket->setLocalCertificateChain(chain);
    socket->setPrivateKey(key);
    connect(socket, &QSslSocket::readyRead, socket, [this, socket] { answer(socket); });
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    socket->startServerEncryption();
}

void HttpsServer::answer(QSslSocket *socket)
{
    const QByteArray received = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", received);
    if (!received.contains("\r\n\r\n") || socket->property("answered").toBool())
        return;
    socket->setProperty("answered", true);

    const QByteArrayList requestLine = received.left(received.indexOf("\r\n")).split(' ');
    const QString path = QString::fromLatin1(requestLine.value(1));
    requests.append(QString::fromLatin1(requestLine.value(0)) + QLatin1Char(' ') + path);
    const auto header = [&received](const QByteArray &name) {
        const QRegularExpression line(
                QStringLiteral("\r\n%1: *([^\r]*)").arg(QString::fromLatin1(name)),
                QRegularExpression::CaseInsensitiveOption);
        return line.match(QString::fromLatin1(received)).captured(1).toLatin1();
    };
    ranges.append(QString::fromLatin1(header("Range")));

    Response response = responses.value(path,
                                        {404, "Not found", Complete, 1, QString(), 0, {}, {}, {}});
    if (compresses && header("Accept-Encoding").contains("gzip"))
        compress(&response);
    else
        answerRange(&response, header("Range"), header("If-Range"));
    if (response.delay > 0)
        QTimer::singleShot(response.delay, socket,
                           [this, socket, response] { send(socket, response); });
    else
        send(socket, response);
}

static QByteArray etagOf(const QByteArray &body)
{
    return '"' + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex().left(16) + '"';
}

void HttpsServer::answerRange(Response *response, const QByteArray &range, const QByteArray &ifRange)
{
    response->etag = etagOf(response->body);
    if (range.isEmpty() || response->status != 200
        || (response->mode != Complete && response->mode != Stall))
        return;
    if (range.contains(',')) {
        *response = {501, "Not Implemented", Complete, 1, QString(), 0, {}, {}, {}};
        return;
    }
    const QByteArrayList bounds = range.mid(range.indexOf('=') + 1).split('-');
    const qint64 total = response->body.size();
    // "bytes=-N": the last N bytes.
    const qint64 first = bounds.value(0).isEmpty()
            ? qMax<qint64>(0, total - bounds.value(1).toLongLong())
            : bounds.value(0).toLongLong();
    const qint64 last = bounds.value(1).isEmpty() || bounds.value(0).isEmpty()
            ? total - 1
            : bounds.value(1).toLongLong();
    if ((!ifRange.isEmpty() && (ifRange != response->etag || rangeAnswer == IfRangeNeverMatches))
        || rangeAnswer == WholeBody || first > last || last >= total)
        return;
    response->status = 206;
    response->contentRange
            = QStringLiteral("bytes %1-%2/%3").arg(first).arg(last).arg(total).toLatin1();
    response->body = response->body.mid(first, last - first + 1);
    // The directory at the end is left whole, so that only the data goes wrong.
    if (rangeAnswer == WrongBytes && last < total - 1)
        response->body.fill('w');
    if (rangeAnswer == CutOnce && last < total - 1) {
        response->mode = CloseHalfway;
        rangeAnswer = Part;
    }
    // An end record whose directory starts twice as far back as this answer reaches.
    if (rangeAnswer == GrowingTail && last == total - 1 && response->body.size() >= 22) {
        char *end = response->body.data() + response->body.size() - 22;
        const qint64 offset = qMax<qint64>(0, total - 2 * response->body.size());
        qToLittleEndian<quint32>(quint32(total - 22 - offset), end + 12);
        qToLittleEndian<quint32>(quint32(offset), end + 16);
    }
}

void HttpsServer::compress(Response *response)
{
    z_stream stream{};
    // 16 + the window bits: a gzip header and trailer.
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray gzipped(int(deflateBound(&stream, uLong(response->body.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(response->body.data());
    stream.avail_in = uInt(response->body.size());
    stream.next_out = reinterpret_cast<Bytef *>(gzipped.data());
    stream.avail_out = uInt(gzipped.size());
    deflate(&stream, Z_FINISH);
    gzipped.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    response->body = gzipped;
    response->contentEncoding = "gzip";
}

void HttpsServer::send(QSslSocket *socket, const Response &response)
{
    const bool announced = response.mode != NoLength && response.mode != Endless;
    bytesSent += response.mode == CloseHalfway ? response.body.size() / 2 : response.body.size();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status)
            + (response.status == 200 ? " OK" : " Error")
            + (response.etag.isEmpty() ? QByteArray() : "\r\nETag: " + response.etag)
            + (response.contentRange.isEmpty() ? QByteArray()
                                               : "\r\nContent-Range: " + response.contentRange)
            + (response.contentEncoding.isEmpty()
                       ? QByteArray()
                       : "\r\nContent-Encoding: " + response.contentEncoding)
            + (announced ? "\r\nContent-Length: " + QByteArray::number(response.body.size())
                         : QByteArray())
            + (response.location.isEmpty() ? QByteArray()
                                           : "\r\nLocation: " + response.location.toUtf8())
            + "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
    switch (response.mode) {
    case Complete:
        socket->write(head + response.body);
        socket->disconnectFromHost();
        break;
    case CloseHalfway:
        socket->write(head + response.body.left(response.body.size() / 2));
        socket->flush();
        socket->disconnectFromHost();
        break;
    case Stall:
        socket->write(head);
        break;
    case Pause: {
        const qsizetype half = response.body.size() / 2;
        socket->write(head + response.body.left(half));
        paused.append({socket, response.body.mid(half)});
        break;
    }
    case NoLength:
        socket->write(head + response.body);
        socket->disconnectFromHost();
        break;
    case Endless:
    case Drip: {
        socket->write(head);
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket,
                [this, socket, response, sent = qint64(0)]() mutable {
                    sendMore(socket, response, &sent);
                });
        timer->start(response.mode == Drip ? 50 : 0);
        break;
    }
    }
}

void HttpsServer::sendMore(QSslSocket *socket, const Response &response, qint64 *sent)
{
    if (response.mode == Endless) {
        // Only as fast as the client takes it, so that what waits here stays small.
        if (socket->encryptedBytesToWrite() + socket->bytesToWrite() < 1024 * 1024)
            socket->write(response.body);
        return;
    }
    socket->write(response.body.mid(*sent, response.dripBytes));
    *sent += response.dripBytes;
    if (*sent >= response.body.size())
        socket->disconnectFromHost();
}
