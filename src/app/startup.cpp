#include "startup.h"

#include <QFile>
#include <QSharedMemory>

#include <string>

#ifdef Q_OS_UNIX
#    include <cerrno>
#    include <sys/ipc.h>
#    include <sys/shm.h>
#    include <sys/stat.h>
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

#ifdef Q_OS_UNIX
static QString keyFileIn(const QString &folder, int user)
{
    const uint owner = user < 0 ? uint(geteuid()) : uint(user);
    return folder + QStringLiteral("/.pellarin-updater-%1.key").arg(owner);
}
#endif

void setInstanceKey(QSharedMemory &memory, const QString &folder, int user)
{
#ifdef Q_OS_UNIX
    const QString file = keyFileIn(folder, user);
#    if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    memory.setNativeKey(file, QNativeIpcKey::Type::SystemV);
#    else
    memory.setNativeKey(file);
#    endif
#else
    Q_UNUSED(folder);
    Q_UNUSED(user);
    memory.setKey(QString::fromLatin1(instanceKey));
#endif
}

void releaseOrphanedSegment(const QString &folder, int user)
{
    QSharedMemory orphan;
    setInstanceKey(orphan, folder, user);
    if (orphan.attach())
        orphan.detach();
}

#ifdef Q_OS_UNIX
// Whether the key file, or a segment under its key, belongs to someone else: then another
// user made it, and it is no updater of this user's.
static bool heldByOtherUser(const QString &keyFile)
{
    struct stat file;
    if (lstat(QFile::encodeName(keyFile).constData(), &file) == 0 && file.st_uid != geteuid())
        return true;
    const key_t key = ftok(QFile::encodeName(keyFile).constData(), 'Q');
    if (key == -1)
        return false;
    // Another user's segment of mode 0600 cannot even be looked at.
    const int id = shmget(key, 0, 0);
    struct shmid_ds segment;
    if (id < 0 || shmctl(id, IPC_STAT, &segment) != 0)
        return errno == EACCES;
    return segment.shm_perm.uid != geteuid();
}
#endif

Guard takeInstanceGuard(QSharedMemory &guard, const QString &folder, QString *why)
{
    setInstanceKey(guard, folder);
    releaseOrphanedSegment(folder);
    if (guard.create(512, QSharedMemory::ReadWrite))
        return Guard::Taken;
#ifdef Q_OS_UNIX
    const QString keyFile = keyFileIn(folder, -1);
    if (heldByOtherUser(keyFile)) {
        *why = QStringLiteral("another user holds the segment of %1").arg(keyFile);
        return Guard::Unavailable;
    }
#endif
    if (guard.error() == QSharedMemory::AlreadyExists)
        return Guard::HeldByAnother;
    *why = guard.errorString();
    return Guard::Unavailable;
}
