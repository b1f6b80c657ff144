#include "bodyreader.h"
#include "releaseconfig.h"
#include "speedlimit.h"
#include "trust.h"
#include "window.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <cmath>

// A manifest is a few hundred bytes; a server that sends more is not a release server.
static constexpr qint64 maxManifestSize = 1024 * 1024;

// Both requests give up when no data moves for transferTimeout or too little for
// lowSpeedTime, so a stalled or dripping server cannot hold the updater forever.
static QNetworkReply *get(QNetworkAccessManager *manager, const QUrl &url, qint64 limit,
                          qint64 expectedSize = -1, bool blake2b = false)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(window::transferTimeout);
    trustVendorAuthority(request);
    QNetworkReply *reply = manager->get(request);
    acceptSystemAuthorities(reply);
    new BodyReader(reply, limit, expectedSize, blake2b);
    new SpeedLimit(reply, window::lowSpeedLimit, window::lowSpeedTime);
    return reply;
}

void window::DownloadLatest()
{
    qDebug() << "Downloading latest version...";
    const QUrl url(manifestLocation, QUrl::TolerantMode);
    manager = new QNetworkAccessManager(this);
    jsonReply = get(manager, url, maxManifestSize);
    connect(jsonReply, &QNetworkReply::finished, this, &window::RequestJsonFinished);
}

void window::RequestJsonFinished()
{
    BodyReader *reader = jsonReply->findChild<BodyReader *>();
    if (reader->failed()) {
        qDebug() << "Error checking for update : " << reader->errorString();
        ShowUpdateError();
    } else {
        const QByteArray body = reader->takeBody();
        ParseManifest(body);
        // A manifest that could not be read leaves the URL empty; that request fails
        // and ends in the package stage's error.
        const QUrl url(packageUrl, QUrl::TolerantMode);
        zipReply = get(manager, url, maxPackageSize, expectedSize, !signingKey().isEmpty());
        connect(zipReply, &QNetworkReply::finished, this, &window::RequestZipFinished);
    }
    jsonReply->deleteLater();
}

void window::ParseManifest(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning() << "Erreur parsing JSON:" << error.errorString();
        return;
    }
    if (!document.isObject()) {
        qWarning() << "Le JSON n'est pas un objet.";
        return;
    }
    const QJsonObject manifest = document.object();
    // Optional, for manifests written before it existed; when there, it must be usable.
    const QJsonValue size = manifest.value(QStringLiteral("size"));
    if (!size.isUndefined()) {
        const double bytes = size.toDouble(-1);
        if (!size.isDouble() || bytes < 0 || bytes > 9007199254740992.0
            || bytes != std::floor(bytes)) {
            qWarning() << "Le champ size du manifeste n'est pas un nombre d'octets.";
            return;
        }
        expectedSize = qint64(bytes);
    }
    const QString version = manifest.value(QStringLiteral("version")).toString();
    const QString url = manifest.value(QStringLiteral("url")).toString();
    const QString hash = manifest.value(QStringLiteral("hash")).toString();
    expectedHash = hash;
    packageUrl = url;
    signature = manifest.value(QStringLiteral("signature")).toString();
    qDebug() << "Version:" << version;
    qDebug() << "URL:" << url;
    qDebug() << "Hash:" << hash;
}
