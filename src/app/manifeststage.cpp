#include "download.h"
#include "installation.h"
#include "packagefile.h"
#include "packagetransfer.h"
#include "proxies.h"
#include "releasemanifest.h"
#include "window.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

void window::DownloadLatest()
{
    qDebug() << "Downloading latest version...";
    const QUrl url(settings.manifestLocation, QUrl::TolerantMode);
    manager = new QNetworkAccessManager(this);
    useSystemProxies(manager);
    // What a run that was stopped while downloading left, unless it is to be resumed.
    packageFile = std::make_unique<PackageFile>(installPath(InstallParent()));
    if (!settings.deltaUpdates)
        packageFile->release();
    manifestDownload = new Download(manager, url, settings, settings.maxManifestSize);
    // A network that swallows packets must not keep the installed release waiting.
    if (settings.offlineStart)
        manifestDownload->setDeadline(settings.manifestTimeout);
    jsonReply = manifestDownload->reply();
    connect(manifestDownload, &Download::finished, this, &window::RequestJsonFinished);
}

void window::RequestJsonFinished()
{
    jsonReply = manifestDownload->reply();
    if (manifestDownload->failed()) {
        qDebug() << "Error checking for update : " << manifestDownload->errorString();
        failure = manifestDownload->errorString();
        ShowUpdateError();
    } else {
        const QByteArray body = manifestDownload->takeBody();
        ParseManifest(body);
        if ((settings.skipUnchanged && StartUnchanged())
            || (settings.skipUnchanged && settings.deltaUpdates && RepairInstalled())) {
            // Nothing to download: what a broken download left is of no more use.
            packageFile->release();
            manifestDownload->deleteLater();
            return;
        }
        // A manifest that could not be read leaves the URL empty; that request fails
        // and ends in the package stage's error.
        packageTransfer = new PackageTransfer(manager, settings, Manifest(),
                                              installPath(InstallParent()), packageFile.get());
        zipReply = packageTransfer->reply();
        connect(packageTransfer, &PackageTransfer::finished, this, &window::RequestZipFinished);
        if (settings.showProgress)
            followProgress(packageTransfer);
    }
    // The reply goes with it.
    manifestDownload->deleteLater();
}

void window::ParseManifest(const QByteArray &body)
{
    ReleaseManifest manifest;
    const QString problem = parseManifest(body, &manifest);
    if (!problem.isEmpty()) {
        qWarning().noquote() << problem;
        failure = problem;
        return;
    }
    expectedHash = manifest.hash;
    packageUrl = manifest.url;
    version = manifest.version;
    expectedSize = manifest.size;
    signature = manifest.signature;
    updaters = manifest.updaters;
    patches = manifest.patches;
    qDebug() << "Version:" << manifest.version;
    qDebug() << "URL:" << manifest.url;
    qDebug() << "Hash:" << manifest.hash;
}
