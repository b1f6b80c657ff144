#include "startup.h"

#include <QDir>
#include <QFile>
#include <QSharedMemory>

#include <string>

#ifdef Q_OS_UNIX
#    include <cerrno>
#    include <cstring>
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
static QString keyFileIn(const QString &folder)
{
    return folder + QLatin1Char('/') + QLatin1String(instanceKey);
}
#endif

void setInstanceKey(QSharedMemory &memory, const QString &folder)
{
#ifdef Q_OS_UNIX
    const QString file = keyFileIn(folder);
#    if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    memory.setNativeKey(file, QNativeIpcKey::Type::SystemV);
#    else
    memory.setNativeKey(file);
#    endif
#else
    Q_UNUSED(folder);
    memory.setKey(QString::fromLatin1(instanceKey));
#endif
}

#ifdef Q_OS_UNIX
// Whether `path` is a folder (not a link) that `user` owns and no one else may write in.
static bool isPrivateFolder(const QByteArray &path, uid_t user)
{
    struct stat info;
    return lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == user
            && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}
#endif

QString guardFolder(QString *why, int user)
{
#ifdef Q_OS_UNIX
    const uid_t owner = user < 0 ? geteuid() : uid_t(user);
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (user < 0 && !runtime.isEmpty() && isPrivateFolder(runtime, owner))
        return QFile::decodeName(runtime);
    // The temporary folder is shared: the name can be taken by another user first.
    const QString folder = QDir::tempPath() + QStringLiteral("/pellarin-updater-%1").arg(owner);
    const QByteArray path = QFile::encodeName(folder);
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        *why = QStringLiteral("cannot create %1: %2")
                       .arg(folder, QString::fromLocal8Bit(strerror(errno)));
        return QString();
    }
    if (user >= 0 && geteuid() == 0 && chown(path.constData(), owner, gid_t(-1)) != 0) {
        *why = QStringLiteral("cannot give %1 to user %2").arg(folder).arg(owner);
        return QString();
    }
    if (!isPrivateFolder(path, owner)) {
        *why = QStringLiteral("%1 is not a folder that only user %2 can write in")
                       .arg(folder)
                       .arg(owner);
        return QString();
    }
    return folder;
#else
    Q_UNUSED(why);
    Q_UNUSED(user);
    return QString();
#endif
}

void releaseOrphanedSegment(const QString &folder)
{
    QSharedMemory orphan;
    setInstanceKey(orphan, folder);
    if (orphan.attach())
        orphan.detach();
}

#ifdef Q_OS_UNIX
// Whether the key file, or a segment under its key, belongs to someone else: then another
// user made it, and it is no updater of this user's.
static bool heldByOtherUser(const QString &keyFile)
{
    struct stat file;
    if (stat(QFile::encodeName(keyFile).constData(), &file) == 0 && file.st_uid != geteuid())
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

Guard takeInstanceGuard(QSharedMemory &guard, QString *why)
{
#ifdef Q_OS_UNIX
    const QString folder = guardFolder(why);
    if (folder.isEmpty())
        return Guard::Unavailable;
#else
    const QString folder;
#endif
    setInstanceKey(guard, folder);
    releaseOrphanedSegment(folder);
    if (guard.create(512, QSharedMemory::ReadWrite))
        return Guard::Taken;
#ifdef Q_OS_UNIX
    const QString keyFile = keyFileIn(folder);
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
