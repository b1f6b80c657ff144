#include "installation.h"
#include "names.h"
#include "record.h"
#include "stagedinstallation.h"
#include "unpack.h"
#include "versionfolder.h"
#include "window.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QProcess>

QString window::InstallParent() const
{
    return settings.installParent.isEmpty() ? installationFolder(settings) : settings.installParent;
}

int window::LaunchInstalled()
{
    const QString program = programIn(installPath(InstallParent()));
    qDebug() << "Launching program:" << program;
    makeExecutable(program);
    const QStringList arguments = silent ? QStringList{QStringLiteral("--silent")} : QStringList{};
    if (QProcess::startDetached(program, arguments, QString(), nullptr)) {
        qDebug() << "Program launched successfully.";
        launched = true;
        stampVersion(settings, healthyStamp);
        return 0;
    }
    qDebug() << "Failed to launch program.";
    return -1;
}

int window::InstallAndLaunch(QByteArray package)
{
    const QString parent = InstallParent();
    const QString appPath = installPath(parent);
    const bool keepsRecord = settings.skipUnchanged || settings.offlineStart
            || settings.deltaUpdates;
    if (plan.entries.isEmpty() && !planPackage(package, parent, &plan))
        return -1;
    // Staged, App and its record change together in the swap.
    if (settings.offlineStart)
        return installStaged(package, plan, parent, expectedHash) ? LaunchInstalled() : -1;
    // In place, App is touched at once. The package is let go of before the application
    // starts.
    if (keepsRecord)
        removeRecord(appPath);
    if (!installPackage(package, plan, parent))
        return -1;
    if (keepsRecord) {
        // As the program will be found next time, its execute bit included.
        makeExecutable(programIn(appPath));
        writeRecord(appPath, expectedHash);
    }
    return LaunchInstalled();
}

WriteResult window::WriteEntry(const QByteArray &data, const QString &path)
{
    return writeEntry(data, path);
}
