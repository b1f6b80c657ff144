#include "versionfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

QString installationFolder(const Settings &settings)
{
    const QString own = QCoreApplication::applicationDirPath();
    return settings.selfUpdate ? QDir::cleanPath(own + QStringLiteral("/../..")) : own;
}

void markHealthy(const Settings &settings)
{
    QFile stamp(QCoreApplication::applicationDirPath() + QStringLiteral("/.healthy"));
    if (settings.selfUpdate && !stamp.exists())
        stamp.open(QIODevice::WriteOnly);
}
