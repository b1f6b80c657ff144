#include "download.h"
#include "packagefile.h"
#include "verification.h"
#include "window.h"

#include <QDebug>
#include <QNetworkReply>
#include <QStorageInfo>

// Says why a verified package is refused, as each check says it; true when it passed.
static bool reportVerification(const Verification &verification)
{
    if (!verification.authentic()) {
        if (verification.failed == Verification::Signature)
            qDebug() << "Signature check failed:" << verification.reason;
        else
            qDebug() << "Download corrupted";
        return false;
    }
    qDebug() << "Files verified";
    if (verification.failed == Verification::Opening)
        qDebug() << "Impossible d'ouvrir le ZIP en mémoire !";
    else if (verification.failed == Verification::Archive)
        qDebug() << "Paquet refusé, App inchangé:" << verification.reason;
    return verification.failed == Verification::Passed;
}

void window::RequestZipFinished()
{
    // The body was taken off the reply and hashed while it arrived.
    zipReply = packageDownload->reply();
    if (packageDownload->failed()) {
        qDebug() << "Error downloading update : " << packageDownload->errorString();
        if (failure.isEmpty())
            failure = packageDownload->errorString();
        ShowUpdateError();
    } else {
        // Mapped from the disk, where it arrived.
        QByteArray data = packageFile->map();
        const QString parent = InstallParent();
        Verification verification = verifyPackage(
                data, packageDownload->digest(), packageDownload->blake2bDigest(),
                {QString(), packageUrl, expectedHash, expectedSize, signature}, settings.signingKey,
                QStorageInfo(parent).blockSize());
        if (settings.showProgress && verification.authentic())
            showInstalling();
        if (!reportVerification(verification)) {
            failure = verification.reason;
            ShowUpdateError();
        } else {
            plan = std::move(verification.plan);
            // Handed over, so that the installer can let the package go before it
            // starts the application.
            if (InstallAndLaunch(std::move(data)) == 0) {
                quitLater();
            } else {
                failure = QStringLiteral("the new release could not be installed");
                ShowUpdateError();
            }
        }
    }
    packageFile->remove();
    // The reply goes with it.
    packageDownload->deleteLater();
}
