#include "bodyreader.h"
#include "releaseconfig.h"
#include "signature.h"
#include "window.h"

#include <QDebug>
#include <QNetworkReply>

// A build with the vendor's key takes only packages signed with it; which check failed,
// or nothing.
static QString signatureProblem(const window &w, BodyReader *reader)
{
    if (signingKey().isEmpty())
        return QString();
    return checkSignature(signingKey(), w.signature, reader->blake2bDigest(),
                          QUrl(w.packageUrl, QUrl::TolerantMode).fileName());
}

void window::RequestZipFinished()
{
    // The body was taken off the reply and hashed while it arrived.
    BodyReader *reader = zipReply->findChild<BodyReader *>();
    if (reader->failed()) {
        qDebug() << "Error downloading update : " << reader->errorString();
        ShowUpdateError();
    } else {
        QByteArray data = reader->takeBody();
        const QString digest = reader->digest();
        // Checked only once the digest matches, as the manifest's own check comes first.
        const QString refusal = expectedHash == digest ? signatureProblem(*this, reader)
                                                       : QString();
        if (expectedHash != digest) {
            qDebug() << "Download corrupted";
            ShowUpdateError();
        } else if (!refusal.isEmpty()) {
            qDebug() << "Signature check failed:" << refusal;
            ShowUpdateError();
        } else {
            qDebug() << "Files verified";
            // Handed over, so that the installer can let the package go before it
            // starts the application.
            if (InstallAndLaunch(std::move(data)) == 0)
                quitLater();
            else
                ShowUpdateError();
        }
    }
    zipReply->deleteLater();
}
