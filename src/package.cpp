#include "download.h"
#include "signature.h"
#include "window.h"

#include <QDebug>
#include <QNetworkReply>

// A build with the vendor's key takes only packages signed with it; which check failed,
// or nothing.
static QString signatureProblem(const window &w, Download *download)
{
    if (w.settings.signingKey.isEmpty())
        return QString();
    return checkSignature(w.settings.signingKey, w.signature, download->blake2bDigest(),
                          QUrl(w.packageUrl, QUrl::TolerantMode).fileName());
}

void window::RequestZipFinished()
{
    // The body was taken off the reply and hashed while it arrived.
    zipReply = packageDownload->reply();
    if (packageDownload->failed()) {
        qDebug() << "Error downloading update : " << packageDownload->errorString();
        ShowUpdateError();
    } else {
        QByteArray data = packageDownload->takeBody();
        const QString digest = packageDownload->digest();
        // Checked only once the digest matches, as the manifest's own check comes first.
        const QString refusal = expectedHash == digest ? signatureProblem(*this, packageDownload)
                                                       : QString();
        if (expectedHash != digest) {
            qDebug() << "Download corrupted";
            ShowUpdateError();
        } else if (!refusal.isEmpty()) {
            qDebug() << "Signature check failed:" << refusal;
            ShowUpdateError();
        } else {
            qDebug() << "Files verified";
            if (settings.showProgress)
                showInstalling();
            // Handed over, so that the installer can let the package go before it
            // starts the application.
            if (InstallAndLaunch(std::move(data)) == 0)
                quitLater();
            else
                ShowUpdateError();
        }
    }
    // The reply goes with it.
    packageDownload->deleteLater();
}
