#include "bodyreader.h"
#include "window.h"

#include <QDebug>
#include <QNetworkReply>

void window::RequestZipFinished()
{
    // The body was taken off the reply and hashed while it arrived.
    BodyReader *reader = zipReply->findChild<BodyReader *>();
    if (reader->failed()) {
        qDebug() << "Error downloading update : " << reader->errorString();
        ShowUpdateError();
    } else {
        QByteArray data = reader->takeBody();
        const QString digest = reader->digest();
        if (expectedHash != digest) {
            qDebug() << "Download corrupted";
            ShowUpdateError();
        } else {
            qDebug() << "Files verified";
            // Handed over, so that the installer can let the package go before it
            // starts the application.
            if (InstallAndLaunch(std::move(data)) == 0)
                quitLater();
            else
                ShowUpdateError();
        }
    }
    zipReply->deleteLater();
}
