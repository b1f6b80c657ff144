#include "stagedinstallation.h"

#include "installation.h"
#include "record.h"
#include "tree.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThread>

static void removeIfThere(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || info.isFile())
        QFile::remove(path);
    else if (info.isDir())
        removeTree(path, 1);
}

void recoverStaging(const QString &parent)
{
    const QString appPath = installPath(parent);
    const QString old = appPath + QStringLiteral(".old");
    if (!QFileInfo::exists(appPath) && QFileInfo(old).isDir())
        QDir().rename(old, appPath);
    removeIfThere(old);
    removeIfThere(appPath + QStringLiteral(".new"));
}

// The old release out of the way, the new one in its place; on failure App is put back.
static bool swap(const QString &appPath, const QString &next)
{
    const QString old = appPath + QStringLiteral(".old");
    const bool hadOld = QFileInfo::exists(appPath);
    if (hadOld && !QDir().rename(appPath, old)) {
        qDebug() << "Impossible de remplacer App:" << appPath;
        return false;
    }
    if (!QDir().rename(next, appPath)) {
        qDebug() << "Impossible de remplacer App:" << appPath;
        if (hadOld)
            QDir().rename(old, appPath);
        return false;
    }
    // App holds the new release: the old record says nothing of it.
    removeRecord(appPath);
    if (hadOld)
        removeTree(old, qBound(1, QThread::idealThreadCount(), 4));
    return true;
}

bool installStaged(QByteArray &package, const InstallPlan &plan, const QString &parent)
{
    recoverStaging(parent);
    const QString refusal = roomProblem(plan, parent, true);
    if (!refusal.isEmpty()) {
        qDebug() << "Paquet refusé, App inchangé:" << refusal;
        return false;
    }
    const QString appPath = installPath(parent);
    const QString next = appPath + QStringLiteral(".new");
    if (!unpackRelease(package, plan, next)) {
        removeIfThere(next);
        return false;
    }
    if (!swap(appPath, next)) {
        removeIfThere(next);
        qDebug() << "Installation incomplète, lancement annulé.";
        return false;
    }
    return true;
}
