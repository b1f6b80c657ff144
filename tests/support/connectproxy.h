#pragma once

#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// A company's proxy on 127.0.0.1: it tunnels each CONNECT to the host it names, or, when
// it refuses, asks for credentials (407) that the client does not have.
class ConnectProxy : public QTcpServer
{
public:
    explicit ConnectProxy(bool refuses = false);

    // As https_proxy names it.
    QString address() const;
    // Each request line's method and target, as "CONNECT 127.0.0.1:443".
    QStringList requests;

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void handshake(QTcpSocket *client);

    const bool refuses;
};
