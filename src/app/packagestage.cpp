#include "installation.h"
#include "packagefile.h"
#include "packagetransfer.h"
#include "regularfile.h"
#include "verification.h"
#include "window.h"

#include <QDebug>
#include <QFile>
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

bool window::InstallChecked(QByteArray package, const QString &sha256, const QByteArray &blake2b,
                            bool newPackage)
{
    const QString parent = InstallParent();
    Verification verification = verifyPackage(package, sha256, blake2b, Manifest(), Signing(),
                                              QStorageInfo(parent).blockSize());
    if (settings.showProgress && verification.authentic())
        showInstalling();
    // A package file that another program cut short while it was read.
    const auto cutShort = [this] {
        if (packageFile && packageFile->damaged()) {
            failure = QStringLiteral("%1 was cut short while it was read").arg(packageFile->path());
            qDebug().noquote() << failure;
        }
    };
    if (!reportVerification(verification)) {
        failure = verification.reason;
        cutShort();
        ShowUpdateError();
        return false;
    }
    plan = std::move(verification.plan);
    if (newPackage && settings.deltaUpdates)
        clearOwnedName(installedPackagePath(installPath(parent)));
    if (!settings.signingKeys.isEmpty())
        ForgetInstalledDigest();
    // Handed over, so that the installer can let the package go before it starts the
    // application.
    if (InstallAndLaunch(std::move(package)) != 0) {
        failure = QStringLiteral("the new release could not be installed");
        cutShort();
        ShowUpdateError();
        return false;
    }
    KeepSigned(verification.signedRelease, blake2b);
    quitLater();
    return true;
}

void window::RequestZipFinished()
{
    // The package was written to its file and hashed while it arrived.
    zipReply = packageTransfer->reply();
    if (packageTransfer->failed()) {
        qDebug() << "Error downloading update : " << packageTransfer->errorString();
        if (failure.isEmpty())
            failure = packageTransfer->errorString();
        ShowUpdateError();
    } else {
        // Mapped from the disk, where it arrived.
        if (InstallChecked(packageFile->map(), packageTransfer->digest(),
                           packageTransfer->blake2bDigest(), true)
            && settings.deltaUpdates) {
            packageFile->keepAsInstalled();
        }
    }
    packageFile->release();
    packageTransfer->deleteLater();
}
