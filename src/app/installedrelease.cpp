#include "digest.h"
#include "installation.h"
#include "mappingguard.h"
#include "packagefile.h"
#include "record.h"
#include "regularfile.h"
#include "signature.h"
#include "stagedinstallation.h"
#include "window.h"

#include <QDebug>
#include <QUrl>

// The installed release's SHA-256 when App is complete as recorded, or nothing; a staged
// installation that was killed is put right first.
static QString completeRelease(const window &w)
{
    const QString parent = w.InstallParent();
    if (w.settings.offlineStart)
        recoverStaging(parent);
    return installedRelease(installPath(parent));
}

// Starts the installed release; the box when even that fails.
static void launchInstalled(window &w)
{
    if (w.LaunchInstalled() != 0)
        showErrorBox();
    quitLater();
}

bool window::StartUnchanged()
{
    if (expectedHash.isEmpty() || completeRelease(*this) != expectedHash)
        return false;
    if (!settings.signingKeys.isEmpty()) {
        const SigningPolicy signing = Signing();
        // Installed before its package's digest was kept, or a digest that is not this
        // release's (a stop between the installation and App.signed): what is kept cannot be
        // trusted, and the whole way checks the release anew.
        SignedRelease release;
        if (signing.installed.blake2b.isEmpty()
            || !checkSignature(signing.keys, signature, signing.installed.blake2b,
                               QUrl(packageUrl, QUrl::TolerantMode).fileName(), &release)
                        .isEmpty()) {
            return false;
        }
        if (RefuseUnchanged(signing, release))
            return true;
    }
    qDebug() << "Release already installed and complete, nothing to download.";
    launchInstalled(*this);
    return true;
}

bool window::RepairInstalled()
{
    QFile kept(installedPackagePath(installPath(InstallParent())));
    const uchar *bytes = openRegular(kept, QIODevice::ReadOnly) && kept.size() > 0
            ? kept.map(0, kept.size())
            : nullptr;
    const MappingGuard guard(bytes, kept.size());
    // A package of another size is another release's: not worth hashing.
    if (!bytes || expectedHash.isEmpty() || (expectedSize >= 0 && kept.size() != expectedSize))
        return false;
    const QByteArray package = QByteArray::fromRawData(reinterpret_cast<const char *>(bytes),
                                                       kept.size());
    QByteArray blake2b;
    const QString sha256 = sha256Of(package, settings.signingKeys.isEmpty() ? nullptr : &blake2b);
    if (sha256 != expectedHash)
        return false;
    qDebug() << "Installed release changed, reinstalling it from" << kept.fileName();
    InstallChecked(package, sha256, blake2b, false);
    return true;
}

bool window::StartInstalledRelease()
{
    if (completeRelease(*this).isEmpty())
        return false;
    qDebug() << "Update not possible, starting the installed release:" << failure;
    launchInstalled(*this);
    return true;
}
