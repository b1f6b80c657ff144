// Stands in for the running application: listens on its socket name and reports each
// connection on standard output ("connected", then "closed <bytes received>").
#include "names.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>

#include <cstdio>
#include <memory>

static void report(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLocalServer server;
    if (!server.listen(QString::fromLatin1(applicationSocket))) {
        report("cannot listen: " + server.errorString().toUtf8());
        return 1;
    }
    QObject::connect(&server, &QLocalServer::newConnection, [&server] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            report("connected");
            auto received = std::make_shared<qint64>(0);
            QObject::connect(socket, &QLocalSocket::readyRead, socket,
                             [socket, received] { *received += socket->readAll().size(); });
            QObject::connect(socket, &QLocalSocket::disconnected, socket, [socket, received] {
                report("closed " + QByteArray::number(*received));
                socket->deleteLater();
            });
        }
    });
    report("listening");
    return app.exec();
}
