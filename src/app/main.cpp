#include "localserver.h"
#include "logfile.h"
#include "names.h"
#include "qualification.h"
#include "releaseconfig.h"
#include "selfupdate.h"
#include "startup.h"
#include "versionfolder.h"
#include "window.h"

#include <QApplication>
#include <QDebug>
#include <QSharedMemory>
#include <QTimer>

#include <cstdlib>
#include <iostream>
#include <memory>

int main(int argc, char **argv)
{
    std::cout << "=== Updater entry point ===" << std::endl;

    const bool silent = silentRequested(argc, argv);
    if (qualifyRequested(argc, argv)) {
        QCoreApplication app(argc, argv);
        return qualify(buildSettings());
    }

    QApplication app(argc, argv);
    const Settings settings = buildSettings();
    const QString folder = installationFolder(settings);
    std::unique_ptr<LogFile> log;
    if (settings.logFile)
        log = std::make_unique<LogFile>(folder + QStringLiteral("/PellarinUpdater.log"));
    if (settings.selfUpdate)
        qDebug().noquote() << "Updater version:" << settings.updaterVersion;
    // For the starter: this version got as far as its event loop.
    QTimer::singleShot(0, &app, [&settings] { stampVersion(settings, aliveStamp); });

    QSharedMemory guard;
    QString why;
    switch (takeInstanceGuard(guard, folder, &why)) {
    case Guard::Taken:
        break;
    case Guard::HeldByAnother:
        qWarning() << "Can't start more than one instance of the application.";
        exit(0);
    case Guard::Unavailable:
        // Nothing will start, and the user must learn it.
        qWarning() << "Can't create the single-instance guard:" << why;
        showErrorBox();
        return 0;
    }

    tidyUpdaterVersions(settings);
    LocalServer *probe = new LocalServer(&app);
    int result = 0;
    if (probe->canStart) {
        window w(nullptr);
        w.silent = silent;
        w.show();
        result = app.exec();
        // Once the application runs, so that it never waits for this; without the guard,
        // which only App needs, so that a start meanwhile still starts the application.
        if (settings.selfUpdate && w.launched) {
            w.hide();
            guard.detach();
            updateUpdater(settings, w.Manifest());
        }
    }
    return result;
}
