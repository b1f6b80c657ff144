// The floor under the updater's fixed cost on this machine: a Qt Widgets program that
// shows a label on X, makes one HTTPS request on loopback and, when it has the answer,
// writes the time to $LAUNCHED_AT and quits. Usage: bench-floor <https URL>
#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("Launching..."));
    label.show();
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(QString::fromLocal8Bit(argv[1]))));
    QObject::connect(reply, &QNetworkReply::finished, [reply] {
        QFile out(qEnvironmentVariable("LAUNCHED_AT"));
        if (reply->error() == QNetworkReply::NoError && out.open(QIODevice::WriteOnly)) {
            out.write(QByteArray::number(QDateTime::currentMSecsSinceEpoch() / 1000.0, 'f', 6));
        } else if (reply->error() != QNetworkReply::NoError) {
            std::fprintf(stderr, "bench-floor: %s: %s (HTTP %d)\n",
                         qPrintable(reply->url().toString()), qPrintable(reply->errorString()),
                         reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
        }
        QCoreApplication::exit(reply->error() == QNetworkReply::NoError ? 0 : 1);
    });
    return app.exec();
}
