// A stand-in for Pellarin, for the demonstration: a window that says which version runs,
// and a local socket server under the application's name while it runs, so that the
// updater started again leaves at once.
#include "names.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLocalServer>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);

    QFile versionFile(QCoreApplication::applicationDirPath()
                      + QStringLiteral("/../share/version.txt"));
    QString version = QStringLiteral("(unknown version)");
    if (versionFile.open(QIODevice::ReadOnly))
        version = QString::fromUtf8(versionFile.readAll()).trimmed();

    QLocalServer server;
    QLocalServer::removeServer(QString::fromLatin1(applicationSocket));
    if (!server.listen(QString::fromLatin1(applicationSocket)))
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));

    const QString text = QStringLiteral("Pellarin %1 is running").arg(version);
    std::printf("%s (arguments: [%s], working directory: %s)\n", qPrintable(text),
                qPrintable(app.arguments().mid(1).join(QStringLiteral(", "))),
                qPrintable(QDir::currentPath()));
    std::fflush(stdout);

    QLabel label(text);
    label.setWindowTitle(QStringLiteral("Pellarin"));
    label.setAlignment(Qt::AlignCenter);
    label.setMinimumSize(360, 120);
    label.setStyleSheet(QStringLiteral("font: 16pt; background: #f4f1e8; color: #2b2b2b;"));
    label.show();
    return app.exec();
}
