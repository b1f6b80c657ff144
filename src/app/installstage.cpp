#include "installation.h"
#include "names.h"
#include "unpack.h"
#include "window.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QProcess>

static int launch(const QString &program, bool silent)
{
    qDebug() << "Launching program:" << program;
#ifndef Q_OS_WIN
    // Packages made on Windows record no execute bit, yet must start here too.
    if (QFile::exists(program))
        QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
#endif
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
    const QString parent = settings.installParent.isEmpty() ? QCoreApplication::applicationDirPath()
                                                            : settings.installParent;
    // The package is let go of before the application starts.
    const bool installed = plan.entries.isEmpty() ? installPackage(package, parent)
                                                  : installPackage(package, plan, parent);
    if (!installed)
        return -1;
    return launch(parent + QLatin1Char('/') + QLatin1String(installFolder) + QLatin1Char('/')
                          + QLatin1String(programPath),
                  silent);
}

WriteResult window::WriteEntry(const QByteArray &data, const QString &path)
{
    return writeEntry(data, path);
}
