#include "window.h"

#include <QDebug>

void window::DownloadLatest()
{
    qDebug() << "Downloading latest version...";
}

void window::RequestJsonFinished() { }

void window::ParseManifest(const QByteArray &body)
{
    Q_UNUSED(body);
}
