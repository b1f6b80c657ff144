#pragma once

#include <QHostAddress>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// A company's proxy on 127.0.0.1 (or `host`): it tunnels each CONNECT to the host it names, or, given
// an `answer` (such as a 407 that asks for credentials the client does not have), sends
// that instead and hangs up.
class ConnectProxy : public QTcpServer
{
public:
    explicit ConnectProxy(const QByteArray &answer = QByteArray(),
                          const QHostAddress &host = QHostAddress::LocalHost);

    // As https_proxy names it.
    QString address() const;
    // Each request line's method and target, as "CONNECT 127.0.0.1:443".
    QStringList requests;

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void handshake(QTcpSocket *client);

    const QByteArray answer;
};
