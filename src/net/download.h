#pragma once

#include "digest.h"
#include "settings.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QUrl>

#include <memory>

// A part of a file of `total` bytes: bytes `first` to `last`, asked for with If-Range
// `validator` (the ETag or Last-Modified of an earlier answer) when there is one. The
// answer must be that part exactly (206 with its Content-Range), or the download fails.
// With `total` -1 the file's length is not known: the part is its last `last - first + 1`
// bytes (fewer when it is shorter), and the answer says the length.
struct ByteRange
{
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
    QByteArray validator;
};

class Patience;
class QFileDevice;
class QNetworkAccessManager;
class QNetworkReply;
class QSslConfiguration;

// One GET, from the request to a checked body. The body is taken off the reply as it
// arrives, within bounds, and hashed on the way: it is held once, a server that never
// stops sending cannot fill the memory, and the digests are ready as soon as the
// transfer ends. A stalled or dripping server is given up on, over the whole transfer
// (see patience.h), and the server must prove who it is (see trust.h). Requests go
// through the proxy that the system names (see proxies.h) when the manager asks it. Redirects are
// followed here rather than by Qt, so that every hop gets its own handshake with the vendor's
// authorities, then the system's. The bytes are asked for as they are (no compression): a
// server that compresses would answer a range with the whole file.
class Download : public QObject
{
    Q_OBJECT

public:
    // Starts at once, as a child of `manager`. With `expectedSize` (-1: not known) the
    // body must be exactly that long; without it, at most `limit` bytes. With `blake2b`
    // it also takes the BLAKE2b-512 digest on the same pass, for a signature check. With
    // `file`, open for writing, the body goes there as it arrives instead of into memory,
    // so that a large package costs no memory. With `patience`, the transfer counts against
    // that of a larger job, which gives up on it (abort()); otherwise it has its own.
    Download(QNetworkAccessManager *manager, const QUrl &url, const Settings &settings,
             qint64 limit, qint64 expectedSize = -1, bool blake2b = false,
             QFileDevice *file = nullptr, Patience *patience = nullptr);
    // Only `range` of the file at `url`, into `file` at its place (or into memory).
    Download(QNetworkAccessManager *manager, const QUrl &url, const Settings &settings,
             const ByteRange &range, QFileDevice *file = nullptr, Patience *patience = nullptr);

    // Ends the transfer as failed, for `reason`, unless it failed already.
    void abort(const QString &reason);

    // Gives the whole transfer, every hop and attempt, `milliseconds` to end.
    void setDeadline(int milliseconds);

    // The reply of the request, its own child; a new one for each hop and each attempt.
    QNetworkReply *reply() const { return current; }

    // After finished(): whether the transfer failed, and why.
    bool failed() const;
    QString errorString() const;
    // The proxy ("host:port") of the last request, or nothing when it went direct.
    QString proxy() const;
    // What names this version of the file on the server: its ETag (a strong one), else its
    // Last-Modified; empty when the answer gives neither.
    QByteArray validator() const;
    // The length of the whole file, as the answer gives it (Content-Length of a whole
    // body, the total of a Content-Range); -1 until then, or when it gives none.
    qint64 total() const { return fileSize; }
    // The body's bytes received.
    qint64 bytesReceived() const { return received; }
    // Whether the server did not answer a range with exactly that range.
    bool rangeRefused() const { return refusedRange; }
    // The whole body (none with a file), then its lower-case hex SHA-256 and its
    // BLAKE2b-512.
    QByteArray takeBody();
    QString digest() const;
    QByteArray blake2bDigest() const;

signals:
    // The body's bytes so far.
    void progress(qint64 received);
    // The answer's headers are in and it is the one asked for: its body follows.
    void answered();
    void finished();

private:
    void start(const QUrl &hop, const QSslConfiguration &ssl);
    void checkHost();
    void begin();
    void checkResponse();
    bool rangeAnswered(int status);
    bool sizeAnswered();
    void read();
    bool keep(const char *data, qint64 length);
    void end();
    bool follow();
    void redirect();
    void finish();

    QNetworkAccessManager *manager;
    const QUrl url;
    const Settings settings;
    const qint64 limit;
    // Known from the manifest or the range; a range of a file of unknown length learns it.
    qint64 expectedSize;
    qint64 fileSize = -1;
    const bool wantBlake2b;
    QNetworkReply *current = nullptr;
    QList<QSslError> sslErrors;
    bool trustsAll = false;
    // The redirects followed so far.
    int hops = 0;
    Patience *patience;
    const bool ownPatience;
    QByteArray body;
    QFileDevice *file;
    const ByteRange range;
    bool refusedRange = false;
    QByteArray chunk;
    // The body's bytes so far, in memory or in the file.
    qint64 received = 0;
    QString problem;
    std::unique_ptr<Digest> sha256;
    std::unique_ptr<Digest> blake2b;
};
