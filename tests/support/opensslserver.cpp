#include "opensslserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTest>

OpenSslServer::OpenSslServer(const QString &chain, const QString &key)
{
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost))
            return;
        port = probe.serverPort();
    }
    process.setWorkingDirectory(root.path());
    process.start(QStringLiteral("openssl"),
                  {QStringLiteral("s_server"), QStringLiteral("-accept"),
                   QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("-cert"), chain,
                   QStringLiteral("-cert_chain"), chain, QStringLiteral("-key"), key,
                   QStringLiteral("-HTTP"), QStringLiteral("-cipher"),
                   QStringLiteral("DEFAULT:@SECLEVEL=0")});
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        if (process.readAllStandardOutput().contains("ACCEPT")) {
            listening = true;
            return;
        }
    }
}

OpenSslServer::~OpenSslServer()
{
    process.kill();
    process.waitForFinished();
}

void OpenSslServer::serve(const QString &path, const QByteArray &body)
{
    // The files hold whole responses.
    const QString file = root.path() + path;
    QDir().mkpath(QFileInfo(file).path());
    QFile response(file);
    if (!response.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(file));
    response.write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
                   + "\r\nConnection: close\r\n\r\n" + body);
}

QString OpenSslServer::url(const QString &path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(port).arg(path);
}
