#include "installation.h"

#include "names.h"
#include "preflight.h"
#include "tree.h"
#include "unpack.h"

#include <QBuffer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QThread>

#include <quazip.h>

#ifdef Q_OS_UNIX
#    include <sys/statvfs.h>
#endif

QString installPath(const QString &parent)
{
    return parent + QLatin1Char('/') + QLatin1String(installFolder);
}

QString programIn(const QString &appPath)
{
    return appPath + QLatin1Char('/') + QLatin1String(programPath);
}

void makeExecutable(const QString &program)
{
#ifndef Q_OS_WIN
    if (QFile::exists(program))
        QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
#else
    Q_UNUSED(program);
#endif
}

// Free inodes for the user, or -1 where the file system does not count them.
static qint64 freeNodes(const QString &path)
{
#ifdef Q_OS_UNIX
    struct statvfs volume;
    if (statvfs(QFile::encodeName(path).constData(), &volume) == 0 && volume.f_files > 0)
        return qint64(volume.f_favail);
#else
    Q_UNUSED(path);
#endif
    return -1;
}

// Whole megabytes, rounded up: what is needed is never said to be nothing.
static qint64 megabytesUp(qint64 bytes)
{
    return (bytes + 1048575) / 1048576;
}

QString roomProblem(const InstallPlan &plan, const QString &parent, bool oldStays)
{
    const QStorageInfo storage(parent);
    const QString appPath = installPath(parent);
    if (!storage.isValid())
        return QString();
    if (plan.bytesNeeded > storage.bytesTotal()) {
        return QStringLiteral("%1 Mo nécessaires, le volume en a %2")
                .arg(megabytesUp(plan.bytesNeeded))
                .arg(storage.bytesTotal() / 1048576);
    }
    const qint64 nodes = freeNodes(storage.rootPath());
    if (plan.bytesNeeded <= storage.bytesAvailable() && (nodes < 0 || plan.nodesNeeded <= nodes))
        return QString();
    const TreeUsage old = oldStays ? TreeUsage() : treeUsage(appPath, storage.blockSize());
    if (plan.bytesNeeded > storage.bytesAvailable() + old.bytes) {
        return QStringLiteral("%1 Mo nécessaires, %2 Mo libres")
                .arg(megabytesUp(plan.bytesNeeded))
                .arg(storage.bytesAvailable() / 1048576);
    }
    if (nodes >= 0 && plan.nodesNeeded > nodes + old.nodes) {
        return QStringLiteral("%1 fichiers et dossiers à créer, %2 inodes libres")
                .arg(plan.nodesNeeded)
                .arg(nodes);
    }
    return QString();
}

// Takes the old installation away: never a mix of two versions, nor files written
// through a link. False, after saying what remains, when it could not.
static bool removeOld(const QString &appPath, int threads)
{
    // A link named App is taken away, not what it points to.
    if (isLink(appPath) || QDir(appPath).exists())
        removeTree(appPath, threads);
    const QStringList remains = remainsOf(appPath);
    for (const QString &path : remains.mid(0, 20))
        qDebug() << "Impossible de supprimer:" << path;
    return remains.isEmpty();
}

// Says what went wrong with single entries, in archive order; false when a file of the
// installation is missing or incomplete.
static bool reportProblems(const QList<EntryProblem> &problems)
{
    bool complete = true;
    for (const EntryProblem &problem : problems) {
        switch (problem.kind) {
        case EntryProblem::Unsafe:
            qDebug() << "Entrée ignorée, chemin hors du dossier App:" << problem.text;
            break;
        case EntryProblem::Unsupported:
            qDebug() << "Entrée ignorée, nom non pris en charge:" << problem.text;
            break;
        case EntryProblem::Unreadable:
            qDebug() << "Impossible d'ouvrir le fichier dans le ZIP" << problem.text;
            break;
        case EntryProblem::NotCreated:
            qDebug() << "Impossible de creer le fichier:" << problem.text;
            complete = false;
            break;
        case EntryProblem::NotWritten:
            qDebug() << "Impossible d'écrire le fichier:" << problem.text;
            complete = false;
            break;
        }
    }
    return complete;
}

bool planPackage(const QByteArray &package, const QString &parent, InstallPlan *plan)
{
    QString refusal;
    {
        QByteArray bytes = package;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QuaZip zip(&buffer);
        if (!zip.open(QuaZip::mdUnzip, nullptr)) {
            qDebug() << "Impossible d'ouvrir le ZIP en mémoire !";
            return false;
        }
        refusal = planInstallation(zip, package, QStorageInfo(parent).blockSize(), plan);
    }
    if (!refusal.isEmpty()) {
        qDebug() << "Paquet refusé, App inchangé:" << refusal;
        return false;
    }
    return true;
}

bool installPackage(QByteArray &package, const QString &parent)
{
    InstallPlan plan;
    return planPackage(package, parent, &plan) && installPackage(package, plan, parent);
}

bool installPackage(QByteArray &package, const InstallPlan &plan, const QString &parent)
{
    const QString appPath = installPath(parent);
    // Checked while the working installation is still there to keep.
    const QString refusal = roomProblem(plan, parent, false);
    if (!refusal.isEmpty()) {
        qDebug() << "Paquet refusé, App inchangé:" << refusal;
        return false;
    }
    const int threads = qBound(1, QThread::idealThreadCount(), 4);
    if (!removeOld(appPath, threads)) {
        qDebug() << "Installation incomplète, lancement annulé.";
        return false;
    }
    return unpackRelease(package, plan, appPath);
}

bool unpackRelease(QByteArray &package, const InstallPlan &plan, const QString &folder)
{
    QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("."))) {
        qDebug() << "Impossible de créer le dossier App:" << folder;
        return false;
    }
    // The folders first, then the files in any order.
    for (const QString &path : std::as_const(plan.folders))
        dir.mkpath(path);
    const Unpacked unpacked = unpack(package, plan.entries, folder,
                                     qBound(1, QThread::idealThreadCount(), 4));
    package = QByteArray();

    const bool complete = reportProblems(unpacked.problems);
    const int sizeInMiB = int(double(unpacked.totalSize) / 1048576.0);
    qDebug() << "Total size of all files in ZIP:" << sizeInMiB << "MB";
    if (!complete)
        qDebug() << "Installation incomplète, lancement annulé.";
    return complete;
}
