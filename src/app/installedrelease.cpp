#include "installation.h"
#include "record.h"
#include "stagedinstallation.h"
#include "window.h"

#include <QDebug>

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
    qDebug() << "Release already installed and complete, nothing to download.";
    launchInstalled(*this);
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
