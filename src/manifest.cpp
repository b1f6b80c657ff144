#include "download.h"
#include "window.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <cmath>

void window::DownloadLatest()
{
    qDebug() << "Downloading latest version...";
    const QUrl url(settings.manifestLocation, QUrl::TolerantMode);
    manager = new QNetworkAccessManager(this);
    manifestDownload = new Download(manager, url, settings, settings.maxManifestSize);
    jsonReply = manifestDownload->reply();
    connect(manifestDownload, &Download::finished, this, &window::RequestJsonFinished);
}

void window::RequestJsonFinished()
{
    jsonReply = manifestDownload->reply();
    if (manifestDownload->failed()) {
        qDebug() << "Error checking for update : " << manifestDownload->errorString();
        ShowUpdateError();
    } else {
        const QByteArray body = manifestDownload->takeBody();
        ParseManifest(body);
        // A manifest that could not be read leaves the URL empty; that request fails
        // and ends in the package stage's error.
        const QUrl url(packageUrl, QUrl::TolerantMode);
        packageDownload = new Download(manager, url, settings, settings.maxPackageSize,
                                       expectedSize, !settings.signingKey.isEmpty());
        zipReply = packageDownload->reply();
        connect(packageDownload, &Download::finished, this, &window::RequestZipFinished);
    }
    // The reply goes with it.
    manifestDownload->deleteLater();
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
