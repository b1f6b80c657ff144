#include "localserver.h"

#include "names.h"

#include <QLocalServer>
#include <QLocalSocket>

LocalServer::LocalServer(QObject *parent) : QObject(parent)
{
    const QString serverName = QString::fromLatin1(applicationSocket);
    QLocalSocket socket;
    socket.connectToServer(serverName, QIODeviceBase::ReadWrite);
    if (socket.waitForConnected(100))
        return;
    // Only a name that nobody listens on is a crashed application's: its socket file
    // is cleared. One that does not answer in time belongs to a busy application.
    const QLocalSocket::LocalSocketError error = socket.error();
    if (error == QLocalSocket::ServerNotFoundError
        || error == QLocalSocket::ConnectionRefusedError) {
        QLocalServer::removeServer(serverName);
        canStart = true;
    }
}
