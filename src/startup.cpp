#include "startup.h"

#include <QSharedMemory>

#include <string>

bool silentRequested(int argc, char **argv)
{
    bool silent = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--silent")
            silent = true;
    }
    return silent;
}

bool takeInstanceGuard(QSharedMemory &guard)
{
    // On Unix a killed updater leaves its segment behind. Attaching and detaching
    // removes it when nobody else is attached, and leaves a live updater's alone.
    {
        QSharedMemory orphan(guard.key());
        if (orphan.attach())
            orphan.detach();
    }
    return guard.create(512, QSharedMemory::ReadWrite);
}
