#include "window.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QNetworkReply>

void window::RequestZipFinished()
{
    if (zipReply->error() != QNetworkReply::NoError) {
        qDebug() << "Error downloading update : " << zipReply->errorString();
        ShowUpdateError();
    } else {
        const QByteArray data = zipReply->readAll();
        const QString digest = QString::fromUtf8(
                QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
        if (expectedHash != digest) {
            qDebug() << "Download corrupted";
            ShowUpdateError();
        } else {
            qDebug() << "Files verified";
            if (InstallAndLaunch(data) == 0)
                quitLater();
            else
                ShowUpdateError();
        }
    }
    zipReply->deleteLater();
}
