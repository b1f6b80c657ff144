#pragma once

#include <QHash>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

// A release server for tests: HTTPS on 127.0.0.1 with a certificate of the test
// certificate authority, answering GET requests from a table of paths.
class HttpsServer : public QTcpServer
{
public:
    enum Mode {
        Complete, // the whole body
        CloseHalfway, // announces the whole body, sends half and hangs up
        Stall, // sends the headers and then nothing
        NoLength, // the whole body without Content-Length, then hangs up
        Endless, // no Content-Length, and the body again and again until the client leaves
        Drip, // announces the whole body and sends dripBytes of it every 50 ms
        Pause, // announces the whole body, sends half, and the rest on resume()
    };
    struct Response
    {
        int status = 200;
        QByteArray body;
        Mode mode = Complete;
        int dripBytes = 1;
        QString location;
        int delay = 0; // ms before the answer
        QByteArray etag;
        QByteArray contentRange;
        QByteArray contentEncoding;
    };

    // Port 0 lets the system choose one; `certDir` holds <name>.pem (the leaf, then any
    // intermediates) and <name>.key.
    explicit HttpsServer(quint16 port = 0, const QString &certDir = QStringLiteral(TEST_CERT_DIR),
                         const QString &name = QStringLiteral("server"));
    ~HttpsServer() override;

    void serve(const QString &path, const QByteArray &body, int status = 200, Mode mode = Complete,
               int dripBytes = 1);
    // Sends the rest of every body that Pause holds back.
    void resume();
    // Answers `path` with a redirect to `target`, a path here or a whole URL (none when
    // empty), after `delay` ms, its body sent as `mode` says.
    void redirect(const QString &path, const QString &target, int status = 302,
                  Mode mode = Complete, int delay = 0);
    QString url(const QString &path) const;

    // Each request as "GET /path", in the order they came, and its Range header (empty
    // for none).
    QStringList requests;
    QStringList ranges;
    // Bytes of bodies sent, over all answers.
    qint64 bytesSent = 0;
    // How a single Range of a whole body is answered (several in one request: 501). Every
    // whole body has an ETag, and an If-Range that names another gets the whole body.
    enum RangeAnswer {
        Part,
        WholeBody,
        WrongBytes, // only in ranges that do not reach the end
        GrowingTail, // a range that reaches the end says the directory starts before it
        CutOnce, // the first range that does not reach the end breaks off halfway
        IfRangeNeverMatches, // as a young Last-Modified: every If-Range gets the whole body
    };
    RangeAnswer rangeAnswer = Part;
    // Whether a request that accepts gzip gets the whole body gzipped, as a server that
    // compresses every type does.
    bool compresses = false;

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void answer(QSslSocket *socket);
    void send(QSslSocket *socket, const Response &response);
    void answerRange(Response *response, const QByteArray &range, const QByteArray &ifRange);
    void compress(Response *response);
    void sendMore(QSslSocket *socket, const Response &response, qint64 *sent);

    QHash<QString, Response> responses;
    QList<QSslCertificate> chain;
    QSslKey key;
    QList<QPointer<QSslSocket>> sockets;
    QList<std::pair<QPointer<QSslSocket>, QByteArray>> paused;
};
