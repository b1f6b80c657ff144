#include "download.h"

#include "patience.h"
#include "proxies.h"
#include "trust.h"

#include <QFileDevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTimer>

Download::Download(QNetworkAccessManager *manager, const QUrl &url, const Settings &settings,
                   qint64 limit, qint64 expectedSize, bool blake2b, QFileDevice *file,
                   Patience *patience)
    : QObject(manager),
      manager(manager),
      url(url),
      settings(settings),
      limit(limit),
      expectedSize(expectedSize),
      wantBlake2b(blake2b),
      patience(patience),
      ownPatience(!patience),
      file(file)
{
    begin();
}

Download::Download(QNetworkAccessManager *manager, const QUrl &url, const Settings &settings,
                   const ByteRange &range, QFileDevice *file, Patience *patience)
    : QObject(manager),
      manager(manager),
      url(url),
      settings(settings),
      limit(range.last - range.first + 1),
      expectedSize(range.last - range.first + 1),
      wantBlake2b(false),
      patience(patience),
      ownPatience(!patience),
      file(file),
      range(range)
{
    begin();
}

void Download::begin()
{
    trustsAll = settings.vendorAuthorities.isEmpty();
    if (ownPatience) {
        patience = new Patience(this, settings.transferTimeout, settings.lowSpeedLimit,
                                settings.lowSpeedTime,
                                [this](const QString &reason) { abort(reason); });
    }
    start(url, firstAttempt(settings.vendorAuthorities));
}

void Download::setDeadline(int milliseconds)
{
    QTimer::singleShot(milliseconds, this, [this, milliseconds] {
        abort(QStringLiteral("Nothing complete within %1 s").arg(milliseconds / 1000.0));
    });
}

void Download::start(const QUrl &hop, const QSslConfiguration &ssl)
{
    body.clear();
    received = 0;
    if (file && range.first < 0) {
        file->seek(0);
        file->resize(0);
    }
    sslErrors.clear();
    sha256 = std::make_unique<Digest>(QCryptographicHash::Sha256);
    if (wantBlake2b)
        blake2b = std::make_unique<Digest>(QCryptographicHash::Blake2b_512);

    QNetworkRequest request(hop);
    request.setSslConfiguration(ssl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Set here, it also keeps Qt from asking for gzip on its own.
    request.setRawHeader("Accept-Encoding", "identity");
    if (range.first >= 0) {
        // One range a request: servers and CDNs refuse several in one.
        const QString bytes = range.total < 0
                ? QStringLiteral("bytes=-%1").arg(range.last - range.first + 1)
                : QStringLiteral("bytes=%1-%2").arg(range.first).arg(range.last);
        request.setRawHeader("Range", bytes.toLatin1());
        if (!range.validator.isEmpty())
            request.setRawHeader("If-Range", range.validator);
    }
    // A proxy that cannot be used as set is not gone around: the request is not sent, and
    // the reply to no request ends at once.
    problem = proxyProblem(hop);
    current = manager->get(problem.isEmpty() ? request : QNetworkRequest());
    current->setParent(this);
    // Without a limit the network thread reads ahead of us, and what piles up in between
    // stays in the process's memory for the rest of the run.
    current->setReadBufferSize(4 * 1024 * 1024);
    connect(current, &QNetworkReply::sslErrors, this,
            [this](const QList<QSslError> &errors) { sslErrors = errors; });
    connect(current, &QNetworkReply::encrypted, this, &Download::checkHost);
    connect(current, &QNetworkReply::metaDataChanged, this, &Download::checkResponse);
    connect(current, &QNetworkReply::readyRead, this, &Download::read);
    connect(current, &QNetworkReply::finished, this, &Download::end);
}

void Download::end()
{
    // Once more, with the system's authorities; the vendor's had their turn.
    if (!trustsAll && current->error() == QNetworkReply::SslHandshakeFailedError
        && lacksAuthority(sslErrors)) {
        trustsAll = true;
        const QUrl hop = current->url();
        current->deleteLater();
        // A connection to the same host would keep the first attempt's authorities.
        manager->clearConnectionCache();
        start(hop, systemAuthorities());
        return;
    }
    read();
    if (problem.isEmpty() && current->error() == QNetworkReply::NoError && expectedSize >= 0
        && received < expectedSize) {
        problem = QStringLiteral("%1 bytes received, fewer than the manifest's size of %2 bytes")
                          .arg(received)
                          .arg(expectedSize);
    }
    if (file && !file->flush() && problem.isEmpty())
        problem = QStringLiteral("Cannot write the package: %1").arg(file->errorString());
    finish();
}

// Takes the next hop as Qt would: each Location resolved against the URL that sent it,
// never from https to anything else, at most as many hops as Qt allows. False, with the
// reason, when the redirect is refused.
bool Download::follow()
{
    const QUrl from = current->url();
    const QByteArray location = current->rawHeader("Location").trimmed();
    const QUrl to = from.resolved(
            current->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
    const bool known = to.scheme() == QLatin1String("https")
            || to.scheme() == QLatin1String("http");
    if (location.isEmpty()) {
        problem = QStringLiteral("Redirect (HTTP %1) without a Location")
                          .arg(current->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
    } else if (++hops > QNetworkRequest(url).maximumRedirectsAllowed()) {
        problem = QStringLiteral("Too many redirects");
    } else if (!known) {
        problem = QStringLiteral("Unsupported redirect to %1").arg(to.toString());
    } else if (from.scheme() == QLatin1String("https") && to.scheme() != from.scheme()) {
        problem = QStringLiteral("Insecure redirect to %1").arg(to.toString());
    } else {
        current->deleteLater();
        trustsAll = settings.vendorAuthorities.isEmpty();
        start(to, firstAttempt(settings.vendorAuthorities));
        return true;
    }
    return false;
}

void Download::redirect()
{
    // Its body, however long, is not the one asked for.
    current->abort();
    if (!problem.isEmpty() || !follow())
        finish();
}

void Download::finish()
{
    if (ownPatience)
        patience->stop();
    // Later, not from inside the reply's signals: a reply aborted by checkHost() ends
    // while the network thread waits for that slot.
    QMetaObject::invokeMethod(this, &Download::finished, Qt::QueuedConnection);
}

void Download::checkHost()
{
    // Whoever answers must be named in its certificate's alternative names; Qt 6.4 also
    // takes the common name when they leave the host out. Checked before the request is
    // sent; a connection that is used again was checked when it was made.
    const QString mismatch = hostMismatch(current->sslConfiguration().peerCertificate(),
                                          current->url().host(QUrl::EncodeUnicode));
    if (mismatch.isEmpty())
        return;
    problem = mismatch;
    current->abort();
}

void Download::checkResponse()
{
    // A redirect is followed as soon as its headers are in: its length says nothing of
    // the body that follows it, and its own body is not read. Later, not from inside the
    // reply's signal.
    const int status = current->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 301 || status == 302 || status == 303 || status == 305 || status == 307
        || status == 308) {
        disconnect(current, nullptr, this, nullptr);
        QMetaObject::invokeMethod(this, &Download::redirect, Qt::QueuedConnection);
        return;
    }
    if ((range.first >= 0 && !rangeAnswered(status)) || !sizeAnswered()
        || (status != 200 && status != 206)) {
        return;
    }
    const QByteArray encoding = current->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity") {
        abort(QStringLiteral("Content-Encoding %1 where the bytes as they are were asked for")
                      .arg(QString::fromLatin1(encoding)));
        return;
    }
    emit answered();
}

// The whole body's length against the manifest's and the limit, as soon as it is known.
bool Download::sizeAnswered()
{
    if (expectedSize > limit) {
        abort(QStringLiteral("The manifest's size of %1 bytes is over the limit of %2 bytes")
                      .arg(expectedSize)
                      .arg(limit));
        return false;
    }
    const QVariant header = current->header(QNetworkRequest::ContentLengthHeader);
    if (!header.isValid())
        return true;
    const qint64 length = header.toLongLong();
    if (expectedSize >= 0 && length != expectedSize) {
        abort(QStringLiteral("Content-Length %1 differs from the manifest's size of %2 bytes")
                      .arg(length)
                      .arg(expectedSize));
    } else if (length > limit) {
        abort(QStringLiteral("Content-Length %1 is over the limit of %2 bytes")
                      .arg(length)
                      .arg(limit));
    } else {
        if (range.first < 0)
            fileSize = length;
        // Room for the whole body saves copies while it grows.
        if (!file && length > body.capacity())
            body.reserve(length);
    }
    return problem.isEmpty();
}

void Download::read()
{
    const qint64 available = current->bytesAvailable();
    if (available <= 0 || !problem.isEmpty())
        return;
    const qint64 allowed = expectedSize >= 0 ? expectedSize : limit;
    if (available > allowed - received) {
        abort(expectedSize >= 0
                      ? QStringLiteral("More than the manifest's size of %1 bytes").arg(expectedSize)
                      : QStringLiteral("More than the limit of %1 bytes").arg(limit));
        return;
    }
    // Into the body, or through a buffer of the reply's size into the file.
    QByteArray &target = file ? chunk : body;
    const qsizetype start = file ? 0 : body.size();
    target.resize(start + available);
    const qint64 got = qMax<qint64>(current->read(target.data() + start, available), 0);
    target.resize(start + got);
    if (keep(target.constData() + start, got))
        emit progress(received);
}

bool Download::keep(const char *data, qint64 length)
{
    const QByteArrayView piece(data, length);
    sha256->addData(piece);
    if (blake2b)
        blake2b->addData(piece);
    received += length;
    patience->add(length);
    // Several downloads may share the file, each writing its own part.
    if (file
        && (!file->seek(qMax<qint64>(range.first, 0) + received - length)
            || file->write(data, length) != length)) {
        abort(QStringLiteral("Cannot write the package: %1").arg(file->errorString()));
        return false;
    }
    return true;
}

void Download::abort(const QString &reason)
{
    if (!problem.isEmpty())
        return;
    problem = reason;
    // Not from inside the reply's own signal: finished would reach the caller there.
    QTimer::singleShot(0, current, &QNetworkReply::abort);
}

bool Download::failed() const
{
    return !problem.isEmpty() || current->error() != QNetworkReply::NoError;
}

QString Download::errorString() const
{
    if (!problem.isEmpty())
        return problem;
    // Through a proxy, a connection or proxy error is the proxy's (Qt 6.4 reports a
    // refusing proxy as an unknown network error), so it is named.
    const QString proxy = proxyName(proxyFor(current->url()));
    const int error = current->error();
    const bool fromProxy = !proxy.isEmpty() && error >= QNetworkReply::ConnectionRefusedError
            && error <= QNetworkReply::UnknownProxyError;
    return fromProxy ? QStringLiteral("%1 (proxy %2)").arg(current->errorString(), proxy)
                     : current->errorString();
}

QByteArray Download::validator() const
{
    const QByteArray etag = current->rawHeader("ETag");
    return !etag.isEmpty() && !etag.startsWith("W/") ? etag : current->rawHeader("Last-Modified");
}

// The total of "bytes <first>-<last>/<total>", or -1.
static qint64 rangeTotal(const QByteArray &contentRange)
{
    const qsizetype slash = contentRange.indexOf('/');
    bool number = false;
    const qint64 total = contentRange.mid(slash + 1).toLongLong(&number);
    return slash > 0 && number && total > 0 ? total : -1;
}

bool Download::rangeAnswered(int status)
{
    const QByteArray answered = current->rawHeader("Content-Range");
    // Of a file of unknown length, the last bytes: its length is in the answer.
    const qint64 total = range.total >= 0 ? range.total : rangeTotal(answered);
    const qint64 first = range.total >= 0 ? range.first : qMax<qint64>(0, total - limit);
    const qint64 last = range.total >= 0 ? range.last : total - 1;
    const QByteArray asked = total < 0
            ? QStringLiteral("the last %1 bytes").arg(limit).toLatin1()
            : QStringLiteral("bytes %1-%2/%3").arg(first).arg(last).arg(total).toLatin1();
    refusedRange = status != 206 || total < 0 || answered != asked;
    if (status != 206) {
        abort(QStringLiteral("HTTP %1 where a part (206) was asked for").arg(status));
    } else if (refusedRange) {
        abort(QStringLiteral("Content-Range \"%1\" where %2 was asked for")
                      .arg(QString::fromLatin1(answered), QString::fromLatin1(asked)));
    } else {
        fileSize = total;
        expectedSize = last - first + 1;
    }
    return problem.isEmpty();
}

QString Download::proxy() const
{
    return proxyName(proxyFor(current->url()));
}

QByteArray Download::takeBody()
{
    return std::move(body);
}

QString Download::digest() const
{
    return QString::fromLatin1(sha256->result().toHex());
}

QByteArray Download::blake2bDigest() const
{
    return blake2b ? blake2b->result() : QByteArray();
}
