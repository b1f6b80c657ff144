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
                   qint64 limit, qint64 expectedSize, bool blake2b, QFileDevice *file)
    : QObject(manager),
      manager(manager),
      url(url),
      settings(settings),
      limit(limit),
      expectedSize(expectedSize),
      wantBlake2b(blake2b),
      file(file)
{
    begin();
}

Download::Download(QNetworkAccessManager *manager, const QUrl &url, const Settings &settings,
                   const ByteRange &range, QFileDevice *file)
    : QObject(manager),
      manager(manager),
      url(url),
      settings(settings),
      limit(range.last - range.first + 1),
      expectedSize(range.last - range.first + 1),
      wantBlake2b(false),
      file(file),
      range(range)
{
    begin();
}

void Download::begin()
{
    trustsAll = settings.vendorAuthorities.isEmpty();
    patience = new Patience(this, settings.transferTimeout, settings.lowSpeedLimit,
                            settings.lowSpeedTime, [this](const QString &reason) { fail(reason); });
    start(url, firstAttempt(settings.vendorAuthorities));
}

void Download::setDeadline(int milliseconds)
{
    QTimer::singleShot(milliseconds, this, [this, milliseconds] {
        fail(QStringLiteral("Nothing complete within %1 s").arg(milliseconds / 1000.0));
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
    problem.clear();
    sslErrors.clear();
    sha256 = std::make_unique<Digest>(QCryptographicHash::Sha256);
    if (wantBlake2b)
        blake2b = std::make_unique<Digest>(QCryptographicHash::Blake2b_512);

    QNetworkRequest request(hop);
    request.setSslConfiguration(ssl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (range.first >= 0) {
        // One range a request: servers and CDNs refuse several in one.
        request.setRawHeader(
                "Range", QStringLiteral("bytes=%1-%2").arg(range.first).arg(range.last).toLatin1());
        if (!range.validator.isEmpty())
            request.setRawHeader("If-Range", range.validator);
    }
    current = manager->get(request);
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
    if (range.first >= 0 && !rangeAnswered(status))
        return;
    if (expectedSize > limit) {
        fail(QStringLiteral("The manifest's size of %1 bytes is over the limit of %2 bytes")
                     .arg(expectedSize)
                     .arg(limit));
        return;
    }
    const QVariant header = current->header(QNetworkRequest::ContentLengthHeader);
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
    } else if (!file && length > body.capacity()) {
        // Room for the whole body saves copies while it grows.
        body.reserve(length);
    }
}

void Download::read()
{
    const qint64 available = current->bytesAvailable();
    if (available <= 0 || !problem.isEmpty())
        return;
    const qint64 allowed = expectedSize >= 0 ? expectedSize : limit;
    if (available > allowed - received) {
        fail(expectedSize >= 0
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
        fail(QStringLiteral("Cannot write the package: %1").arg(file->errorString()));
        return false;
    }
    return true;
}

void Download::fail(const QString &reason)
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
    // Whoever answered, the proxy or the server, is named.
    const QString proxy = proxyName(proxyFor(current->url()));
    const int error = current->error();
    const bool fromProxy = error >= QNetworkReply::ProxyConnectionRefusedError
            && error <= QNetworkReply::UnknownProxyError;
    return fromProxy ? QStringLiteral("%1 (proxy %2)").arg(current->errorString(), proxy)
                     : current->errorString();
}

QByteArray Download::validator() const
{
    const QByteArray etag = current->rawHeader("ETag");
    return !etag.isEmpty() && !etag.startsWith("W/") ? etag : current->rawHeader("Last-Modified");
}

bool Download::rangeAnswered(int status)
{
    const QByteArray asked = QStringLiteral("bytes %1-%2/%3")
                                     .arg(range.first)
                                     .arg(range.last)
                                     .arg(range.total)
                                     .toLatin1();
    const QByteArray answered = current->rawHeader("Content-Range");
    refusedRange = status != 206 || answered != asked;
    if (status != 206)
        fail(QStringLiteral("HTTP %1 where a part (206) was asked for").arg(status));
    else if (answered != asked)
        fail(QStringLiteral("Content-Range \"%1\" where %2 was asked for")
                     .arg(QString::fromLatin1(answered), QString::fromLatin1(asked)));
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
