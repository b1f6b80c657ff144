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

void setInstanceKey(QSharedMemory &memory)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0) && defined(Q_OS_UNIX)
    // The key as Qt 6.4 makes it (a file in the temporary folder for ftok), of the
    // System V kind.
    memory.setNativeKey(QSharedMemory::legacyNativeKey(QString::fromLatin1(instanceKey),
                                                       QNativeIpcKey::Type::SystemV));
#else
    memory.setKey(QString::fromLatin1(instanceKey));
#endif
}

void releaseOrphanedSegment()
{
    QSharedMemory orphan;
    setInstanceKey(orphan);
    if (orphan.attach())
        orphan.detach();
}

bool takeInstanceGuard(QSharedMemory &guard)
{
    releaseOrphanedSegment();
    return guard.create(512, QSharedMemory::ReadWrite);
}
