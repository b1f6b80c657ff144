#include "localserver.h"
#include "logfile.h"
#include "qualification.h"
#include "releaseconfig.h"
#include "selfupdate.h"
#include "startup.h"
#include "versionfolder.h"
#include "window.h"

#include <QApplication>
#include <QDebug>
#include <QScopeGuard>
#include <QSharedMemory>

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
    // Whatever the run's outcome, this version ran.
    const auto healthy = qScopeGuard([&settings] { markHealthy(settings); });

    QSharedMemory guard;
    QString why;
    switch (takeInstanceGuard(guard, folder, &why)) {
    case Guard::Taken:
        break;
    case Guard::HeldByAnother:
        qWarning() << "Can't start more than one instance of the application.";
        markHealthy(settings);
        exit(0);
    case Guard::Unavailable:
        // Nothing will start, and the user must learn it.
        qWarning() << "Can't create the single-instance guard:" << why;
        showErrorBox();
        return 0;
    }

    LocalServer *probe = new LocalServer(&app);
    int result = 0;
    if (probe->canStart) {
        window w(nullptr);
        w.silent = silent;
        w.show();
        result = app.exec();
        // Once the application runs, so that it never waits for this.
        if (settings.selfUpdate && w.launched) {
            w.hide();
            markHealthy(settings);
            updateUpdater(settings, w.Manifest());
        }
    }
    return result;
}
