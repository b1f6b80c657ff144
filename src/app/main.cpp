#include "localserver.h"
#include "logfile.h"
#include "releaseconfig.h"
#include "startup.h"
#include "window.h"

#include <QApplication>
#include <QSharedMemory>

#include <cstdlib>
#include <iostream>
#include <memory>

int main(int argc, char **argv)
{
    std::cout << "=== Updater entry point ===" << std::endl;

    const bool silent = silentRequested(argc, argv);

    QApplication app(argc, argv);
    std::unique_ptr<LogFile> log;
    if (buildSettings().logFile) {
        log = std::make_unique<LogFile>(QCoreApplication::applicationDirPath()
                                        + QStringLiteral("/PellarinUpdater.log"));
    }

    QSharedMemory guard;
    QString why;
    switch (takeInstanceGuard(guard, QCoreApplication::applicationDirPath(), &why)) {
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

    LocalServer *probe = new LocalServer(&app);
    int result = 0;
    if (probe->canStart) {
        window w(nullptr);
        w.silent = silent;
        w.show();
        result = app.exec();
    }
    return result;
}
