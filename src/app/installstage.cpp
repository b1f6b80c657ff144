#include "installation.h"
#include "names.h"
#include "record.h"
#include "stagedinstallation.h"
#include "unpack.h"
#include "window.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QProcess>

QString window::InstallParent() const
{
    return settings.installParent.isEmpty() ? QCoreApplication::applicationDirPath()
                                            : settings.installParent;
}

static QString programOf(const QString &parent)
{
    return installPath(parent) + QLatin1Char('/') + QLatin1String(programPath);
}

// Packages made on Windows record no execute bit, yet must start here too.
static void makeExecutable(const QString &program)
{
#ifndef Q_OS_WIN
    if (QFile::exists(program))
        QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
#else
    Q_UNUSED(program);
#endif
}

int window::LaunchInstalled()
{
    const QString program = programOf(InstallParent());
    qDebug() << "Launching program:" << program;
    makeExecutable(program);
    const QStringList arguments = silent ? QStringList{QStringLiteral("--silent")} : QStringList{};
    if (QProcess::startDetached(program, arguments, QString(), nullptr)) {
        qDebug() << "Program launched successfully.";
        return 0;
    }
    qDebug() << "Failed to launch program.";
    return -1;
}

int window::InstallAndLaunch(QByteArray package)
{
    const QString parent = InstallParent();
    const QString appPath = installPath(parent);
    const bool keepsRecord = settings.skipUnchanged || settings.offlineStart;
    if (plan.entries.isEmpty() && !planPackage(package, parent, &plan))
        return -1;
    // In place, App is touched at once; staged, only by the swap, which sees to the record.
    if (keepsRecord && !settings.offlineStart)
        removeRecord(appPath);
    // The package is let go of before the application starts.
    const bool installed = settings.offlineStart ? installStaged(package, plan, parent)
                                                 : installPackage(package, plan, parent);
    if (!installed)
        return -1;
    if (keepsRecord) {
        // As the program will be found next time, its execute bit included.
        makeExecutable(programOf(parent));
        writeRecord(appPath, expectedHash);
    }
    return LaunchInstalled();
}

WriteResult window::WriteEntry(const QByteArray &data, const QString &path)
{
    return writeEntry(data, path);
}
