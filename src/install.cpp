#include "window.h"

int window::InstallAndLaunch(QByteArray package)
{
    Q_UNUSED(package);
    return -1;
}

void window::WriteEntry(const QByteArray &data, const QString &path)
{
    Q_UNUSED(data);
    Q_UNUSED(path);
}
