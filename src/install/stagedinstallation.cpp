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
    if (isLink(path) || QFileInfo(path).isDir())
        removeTree(path, 1);
    else
        QFile::remove(path);
}

void recoverStaging(const QString &parent)
{
    const QString appPath = installPath(parent);
    const QString old = appPath + QStringLiteral(".old");
    const QString next = appPath + QStringLiteral(".new");
    // Only a real folder was ever an App; a link there is no installation of ours.
    const bool appGone = !QFileInfo::exists(appPath) && !isLink(appPath);
    if (appGone && !isLink(old) && QFileInfo(old).isDir())
        QDir().rename(old, appPath);
    // App.new gone while its record is there: the swap was cut just before the record
    // followed it into App.
    if (!QFileInfo::exists(next) && !isLink(next) && QFileInfo(appPath).isDir())
        moveRecord(next, appPath);
    removeRecord(next);
    removeIfThere(old);
    removeIfThere(next);
}

// The old release out of the way, the new one and its record in its place; on failure
// App is put back.
static bool swap(const QString &appPath, const QString &next)
{
    const QString old = appPath + QStringLiteral(".old");
    const bool hadOld = QFileInfo::exists(appPath) || isLink(appPath);
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
    // Right after the renames, so that a complete App is never left without its record,
    // nor with the old one's.
    removeRecord(appPath);
    moveRecord(next, appPath);
    if (hadOld)
        removeTree(old, qBound(1, QThread::idealThreadCount(), 4));
    return true;
}

bool installStaged(QByteArray &package, const InstallPlan &plan, const QString &parent,
                   const QString &sha256)
{
    recoverStaging(parent);
    const QString refusal = roomProblem(plan, parent, true);
    if (!refusal.isEmpty()) {
        qDebug() << "Paquet refusé, App inchangé:" << refusal;
        return false;
    }
    const QString appPath = installPath(parent);
    const QString next = appPath + QStringLiteral(".new");
    bool installed = unpackRelease(package, plan, next);
    if (installed) {
        // Described as it will be found in App, its program's execute bit included.
        makeExecutable(programIn(next));
        writeRecord(next, sha256);
        installed = swap(appPath, next);
        if (!installed)
            qDebug() << "Installation incomplète, lancement annulé.";
    }
    if (!installed) {
        removeRecord(next);
        removeIfThere(next);
    }
    return installed;
}
