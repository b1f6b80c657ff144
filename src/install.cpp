#include "entrywriter.h"
#include "preflight.h"
#include "window.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStorageInfo>
#include <QThread>

#include <algorithm>
#include <thread>
#include <vector>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>

// The execute bits an entry made on Unix records; anything else keeps the defaults.
static QFile::Permissions executeBits(const QuaZipFileInfo64 &info)
{
#ifdef Q_OS_WIN
    Q_UNUSED(info);
    return {};
#else
    const int host = info.versionCreated >> 8;
    if (host != 3 && host != 19) // Unix, macOS
        return {};
    return info.getPermissions()
            & (QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther);
#endif
}

// Lists a folder's tree, folders before what they hold. App belongs wholly to the
// updater: a folder left read-only, by an installer or by hand, is opened up on the
// way, or nothing in it could be deleted. Links are listed, never followed.
static void listTree(const QString &folder, QStringList *files, QStringList *folders)
{
    const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    const QFile::Permissions permissions = QFile::permissions(folder);
    if ((permissions & owner) != owner)
        QFile::setPermissions(folder, permissions | owner);
    folders->append(folder);
    const QFileInfoList entries = QDir(folder).entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            listTree(entry.filePath(), files, folders);
        else
            files->append(entry.filePath());
    }
}

// Deletes a folder and everything in it, the files on a few threads.
static void removeTree(const QString &path, int threads)
{
    QStringList files;
    QStringList folders;
    listTree(path, &files, &folders);
    auto removeFiles = [&files, threads](int first) {
        for (qsizetype i = first; i < files.size(); i += threads) {
            if (!QFile::remove(files.at(i))) {
                // Windows refuses to delete a read-only file.
                QFile::setPermissions(files.at(i), QFile::WriteUser | QFile::ReadUser);
                QFile::remove(files.at(i));
            }
        }
    };
    std::vector<std::thread> helpers;
    for (int i = 1; i < threads; ++i)
        helpers.emplace_back(removeFiles, i);
    removeFiles(0);
    for (std::thread &helper : helpers)
        helper.join();
    for (auto folder = folders.crbegin(); folder != folders.crend(); ++folder)
        QDir().rmdir(*folder);
}

// What is left of a tree that should be gone: the files first, then the folders,
// innermost first.
static QStringList remainsOf(const QString &path)
{
    const QFileInfo root(path);
    if (root.isSymLink())
        return {path};
    // A file named App is no installation: making the folder fails and says so.
    if (!root.isDir())
        return {};
    QStringList files;
    QStringList folders;
    listTree(path, &files, &folders);
    std::reverse(folders.begin(), folders.end());
    return files + folders;
}

// Bytes that the files of a tree take on disk, in whole blocks.
static qint64 treeSize(const QString &path, qint64 blockSize)
{
    const qint64 block = qMax<qint64>(blockSize, 1);
    qint64 bytes = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        bytes += (it.fileInfo().size() + block - 1) / block * block;
    }
    return bytes;
}

// Something that went wrong with one entry, told in archive order once all is written.
struct EntryProblem
{
    enum Kind { Unsafe, Unreadable, NotCreated, NotWritten };
    int index;
    Kind kind;
    QString text; // the entry's name, or the file's path
};

int window::InstallAndLaunch(QByteArray package)
{
    QBuffer buffer(&package);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    if (!zip.open(QuaZip::mdUnzip, nullptr)) {
        qDebug() << "Impossible d'ouvrir le ZIP en mémoire !";
        return -1;
    }

    const QString parent = settings.installParent.isEmpty() ? QCoreApplication::applicationDirPath()
                                                            : settings.installParent;
    const QString appPath = parent + QStringLiteral("/") + QStringLiteral("App");

    // Whatever can be known from the archive's directory is checked while the working
    // installation is still there to keep.
    const QStorageInfo storage(parent);
    InstallPlan plan;
    QString problem;
    if (planInstallation(zip, package, storage.blockSize(), &plan, &problem) && storage.isValid()
        && plan.bytesNeeded > storage.bytesAvailable()
        && plan.bytesNeeded > storage.bytesAvailable() + treeSize(appPath, storage.blockSize())) {
        problem = QStringLiteral("%1 Mo nécessaires, %2 Mo libres")
                          .arg(plan.bytesNeeded / 1048576)
                          .arg(storage.bytesAvailable() / 1048576);
    }
    if (!problem.isEmpty()) {
        qDebug() << "Paquet refusé, App inchangé:" << problem;
        return -1;
    }

    QDir appDir(appPath);
    const int threads = qBound(1, QThread::idealThreadCount(), 4);
    // A link named App is taken away, not what it points to.
    if (QFileInfo(appPath).isSymLink())
        QFile::remove(appPath);
    else if (appDir.exists())
        removeTree(appPath, threads);
    // Never a mix of two versions, nor files written through a link.
    const QStringList remains = remainsOf(appPath);
    if (!remains.isEmpty()) {
        for (const QString &path : remains.mid(0, 20))
            qDebug() << "Impossible de supprimer:" << path;
        qDebug() << "Installation incomplète, lancement annulé.";
        return -1;
    }
    if (!appDir.mkpath(QStringLiteral("."))) {
        qDebug() << "Impossible de créer le dossier App:" << appPath;
        return -1;
    }

    const bool parallel = threads > 1 && plan.foldersFirst;
    if (parallel) {
        for (const QString &folder : std::as_const(plan.folders))
            appDir.mkpath(folder);
    }
    EntryWriter writer(this, parallel ? threads : 0);
    QList<EntryProblem> problems;
    qint64 totalSize = 0;
    QuaZipFile entry(&zip);
    int index = 0;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile(), ++index) {
        QuaZipFileInfo64 info;
        zip.getCurrentFileInfo(&info);
        // Cleaned, so that one file named two ways goes to one writer and the later wins.
        const QString name = installName(info);
        if (name.isEmpty()) {
            problems.append({index, EntryProblem::Unsafe, info.name});
            continue;
        }
        const QString path = appPath + QLatin1Char('/') + name;
        if (!isReadableEntry(info) || !entry.open(QIODevice::ReadOnly)) {
            problems.append({index, EntryProblem::Unreadable, QString()});
            continue;
        }
        QByteArray data = entry.readAll();
        entry.close();
        // The reader reports damaged data late: a short read, or a checksum error on close.
        if (entry.getZipError() != UNZ_OK || quint64(data.size()) != info.uncompressedSize) {
            problems.append({index, EntryProblem::Unreadable, QString()});
            continue;
        }
        totalSize += data.size();
        writer.write(index, std::move(data), path, executeBits(info));
    }
    zip.close();
    buffer.close();
    package = QByteArray();

    const QList<EntryWriter::Failure> failures = writer.finish();
    for (const EntryWriter::Failure &failure : failures) {
        problems.append(
                {failure.index,
                 failure.result == NotCreated ? EntryProblem::NotCreated : EntryProblem::NotWritten,
                 failure.path});
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const EntryProblem &a, const EntryProblem &b) { return a.index < b.index; });
    bool complete = true;
    for (const EntryProblem &problem : std::as_const(problems)) {
        switch (problem.kind) {
        case EntryProblem::Unsafe:
            qDebug() << "Entrée ignorée, chemin hors du dossier App:" << problem.text;
            break;
        case EntryProblem::Unreadable:
            qDebug() << "Impossible d'ouvrir le fichier dans le ZIP";
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

    const int sizeInMiB = int(double(totalSize) / 1048576.0);
    qDebug() << "Total size of all files in ZIP:" << sizeInMiB << "MB";

    if (!complete) {
        qDebug() << "Installation incomplète, lancement annulé.";
        return -1;
    }

    const QString program = appPath + QStringLiteral("/bin/PellarinApp.exe");
    qDebug() << "Launching program:" << program;
#ifndef Q_OS_WIN
    // Packages made on Windows record no execute bit, yet must start here too.
    if (QFile::exists(program))
        QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
#endif
    const QStringList arguments = silent ? QStringList{QStringLiteral("--silent")} : QStringList{};
    if (QProcess::startDetached(program, arguments, QString(), nullptr)) {
        qDebug() << "Program launched successfully.";
        return 0;
    }
    qDebug() << "Failed to launch program.";
    return -1;
}

window::WriteResult window::WriteEntry(const QByteArray &data, const QString &path)
{
    if (path.endsWith(QChar('/'), Qt::CaseSensitive)) {
        QDir().mkpath(path);
        return Written;
    }
    // The folder is usually there already: make it only when the file cannot be made.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        QDir().mkpath(QFileInfo(path).path());
        if (!file.open(QIODevice::WriteOnly))
            return NotCreated;
    }
    const bool written = file.write(data) == data.size() && file.flush();
    file.close();
    return written ? Written : NotWritten;
}
