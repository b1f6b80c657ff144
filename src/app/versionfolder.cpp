#include "versionfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

QString installationFolder(const Settings &settings)
{
    const QString own = QCoreApplication::applicationDirPath();
    return settings.selfUpdate ? QDir::cleanPath(own + QStringLiteral("/../..")) : own;
}

void stampVersion(const Settings &settings, const char *stamp)
{
    QFile file(QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(stamp));
    if (settings.selfUpdate && !file.exists())
        file.open(QIODevice::WriteOnly);
}
