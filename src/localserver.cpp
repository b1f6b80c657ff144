#include "localserver.h"

#include <QLocalServer>
#include <QLocalSocket>

LocalServer::LocalServer(QObject *parent) : QObject(parent)
{
    const QString serverName = QStringLiteral("Travik-Software.Pellarin");
    QLocalSocket socket;
    socket.connectToServer(serverName, QIODeviceBase::ReadWrite);
    if (!socket.waitForConnected(100)) {
        // Clears a socket file that a crashed application left behind.
        QLocalServer::removeServer(serverName);
        canStart = true;
    }
}
