#include "startup.h"

#include <QSharedMemory>

#include <string>

#ifdef Q_OS_UNIX
#    include <unistd.h>
#endif

bool silentRequested(int argc, char **argv)
{
    bool silent = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--silent")
            silent = true;
    }
    return silent;
}

void setInstanceKey(QSharedMemory &memory, int user)
{
    QString key = QString::fromLatin1(instanceKey);
#ifdef Q_OS_UNIX
    // One updater per user: the key's file lives in a temporary folder that all users
    // share, and another user's could not be opened. (Windows names it per session.)
    key += QStringLiteral("-%1").arg(user < 0 ? qint64(getuid()) : qint64(user));
#else
    Q_UNUSED(user);
#endif
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0) && defined(Q_OS_UNIX)
    // The key as Qt 6.4 makes it (a file in the temporary folder for ftok), of the
    // System V kind.
    memory.setNativeKey(QSharedMemory::legacyNativeKey(key, QNativeIpcKey::Type::SystemV));
#else
    memory.setKey(key);
#endif
}

void releaseOrphanedSegment(int user)
{
    QSharedMemory orphan;
    setInstanceKey(orphan, user);
    if (orphan.attach())
        orphan.detach();
}

bool takeInstanceGuard(QSharedMemory &guard)
{
    releaseOrphanedSegment();
    return guard.create(512, QSharedMemory::ReadWrite);
}
