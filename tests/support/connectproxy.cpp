#include "connectproxy.h"

#include <QTcpSocket>

ConnectProxy::ConnectProxy(const QByteArray &answer, const QHostAddress &host) : answer(answer)
{
    if (!listen(host))
        qFatal("cannot listen on %s: %s", qPrintable(host.toString()), qPrintable(errorString()));
}

QString ConnectProxy::address() const
{
    const QString host = serverAddress().protocol() == QAbstractSocket::IPv6Protocol
            ? QLatin1Char('[') + serverAddress().toString() + QLatin1Char(']')
            : serverAddress().toString();
    return QStringLiteral("http://%1:%2").arg(host).arg(serverPort());
}

void ConnectProxy::incomingConnection(qintptr socketDescriptor)
{
    auto *client = new QTcpSocket(this);
    client->setSocketDescriptor(socketDescriptor);
    connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QTcpSocket::readyRead, client, [this, client] { handshake(client); });
}

void ConnectProxy::handshake(QTcpSocket *client)
{
    if (client->property("tunnel").toBool())
        return;
    const QByteArray head = client->property("head").toByteArray() + client->readAll();
    client->setProperty("head", head);
    if (!head.contains("\r\n\r\n"))
        return;
    const QByteArrayList line = head.left(head.indexOf("\r\n")).split(' ');
    requests.append(QString::fromLatin1(line.value(0) + ' ' + line.value(1)));
    if (!answer.isEmpty() || line.value(0) != "CONNECT") {
        client->write(answer.isEmpty() ? "HTTP/1.1 405 Method Not Allowed\r\n\r\n" : answer);
        client->disconnectFromHost();
        return;
    }
    client->setProperty("tunnel", true);
    const QByteArray target = line.value(1);
    auto *server = new QTcpSocket(client);
    connect(server, &QTcpSocket::connected, client, [client, server] {
        client->write("HTTP/1.1 200 Connection established\r\n\r\n");
        server->write(client->readAll());
        connect(client, &QTcpSocket::readyRead, server,
                [client, server] { server->write(client->readAll()); });
        connect(server, &QTcpSocket::readyRead, client,
                [client, server] { client->write(server->readAll()); });
    });
    connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
    connect(client, &QTcpSocket::disconnected, server, &QTcpSocket::disconnectFromHost);
    server->connectToHost(QString::fromLatin1(target.left(target.lastIndexOf(':'))),
                          quint16(target.mid(target.lastIndexOf(':') + 1).toUInt()));
}
