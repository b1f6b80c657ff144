#include "packagereader.h"
#include "releaseconfig.h"
#include "window.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>

// Both requests give up when no data moves for transferTimeout, so a stalled server
// cannot hold the updater forever, and trust the build's own certificate authority,
// if it names one, besides the system's.
static QNetworkRequest updateRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(window::transferTimeout);
    static const QList<QSslCertificate> trusted = QSslCertificate::fromData(trustedCaPem(),
                                                                            QSsl::Pem);
    if (!trusted.isEmpty()) {
        // Reading the system's authorities takes a while: once per run is enough.
        static const QSslConfiguration ssl = [] {
            QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
            ssl.setCaCertificates(QSslConfiguration::systemCaCertificates() + trusted);
            return ssl;
        }();
        request.setSslConfiguration(ssl);
    }
    return request;
}

void window::DownloadLatest()
{
    qDebug() << "Downloading latest version...";
    const QUrl url(manifestLocation, QUrl::TolerantMode);
    manager = new QNetworkAccessManager(this);
    jsonReply = manager->get(updateRequest(url));
    connect(jsonReply, &QNetworkReply::finished, this, &window::RequestJsonFinished);
}

void window::RequestJsonFinished()
{
    if (jsonReply->error() != QNetworkReply::NoError) {
        qDebug() << "Error checking for update : " << jsonReply->errorString();
        ShowUpdateError();
    } else {
        const QByteArray body = jsonReply->readAll();
        ParseManifest(body);
        // A manifest that could not be read leaves the URL empty; that request fails
        // and ends in the package stage's error.
        const QUrl url(packageUrl, QUrl::TolerantMode);
        zipReply = manager->get(updateRequest(url));
        new PackageReader(zipReply);
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
    const QString version = manifest.value(QStringLiteral("version")).toString();
    const QString url = manifest.value(QStringLiteral("url")).toString();
    const QString hash = manifest.value(QStringLiteral("hash")).toString();
    expectedHash = hash;
    packageUrl = url;
    qDebug() << "Version:" << version;
    qDebug() << "URL:" << url;
    qDebug() << "Hash:" << hash;
}
