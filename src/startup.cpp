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

void releaseOrphanedSegment(const QString &key)
{
    QSharedMemory orphan(key);
    if (orphan.attach())
        orphan.detach();
}

bool takeInstanceGuard(QSharedMemory &guard)
{
    releaseOrphanedSegment(guard.key());
    return guard.create(512, QSharedMemory::ReadWrite);
}
