#include "entrywriter.h"
#include "window.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QThread>

#include <thread>
#include <vector>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>

// A name that is absolute, names a drive, stream or resource, climbs out with "..", or
// an entry that is a symbolic link could put files outside App.
static bool isSafeEntry(const QString &name, const QuaZipFileInfo64 &info)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))
        || name.contains(QLatin1Char(':')) || info.isSymbolicLink()) {
        return false;
    }
    const QStringList segments = name.split(QLatin1Char('/'));
    return !segments.contains(QStringLiteral(".."));
}

// Only entries that the reader can check completely: no encryption (it would open
// without a password and yield garbage), stored or deflated.
static bool isReadableEntry(const QuaZipFileInfo64 &info)
{
    return !info.isEncrypted() && (info.method == 0 || info.method == Z_DEFLATED);
}

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

// Deletes a folder and everything in it, as far as it can, the files on a few threads.
// Links are removed, never followed.
static void removeTree(const QString &path, int threads)
{
    QStringList files;
    QStringList folders;
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink())
            folders.append(entry);
        else
            files.append(entry);
    }
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
    // Innermost folders first; the iteration lists a folder before what it holds.
    for (auto folder = folders.crbegin(); folder != folders.crend(); ++folder)
        QDir().rmdir(*folder);
    QDir().rmdir(path);
}

// Something that went wrong with one entry, told in archive order once all is written.
struct EntryProblem
{
    enum Kind { Unsafe, Unreadable, NotCreated, NotWritten };
    int index;
    Kind kind;
    QString text; // the entry's name, or the file's path
};

// Files can be written side by side when no file stands where another entry needs a
// folder: then every folder can be made first, as the entries in order would make
// them. Makes those folders and says whether that is so.
static bool prepareFolders(QuaZip &zip, const QString &appPath)
{
    QSet<QString> files;
    QSet<QString> folders;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        zip.getCurrentFileInfo(&info);
        if (!isSafeEntry(info.name, info))
            continue;
        QString path = QDir::cleanPath(info.name);
        if (!info.name.endsWith(QLatin1Char('/')))
            files.insert(path);
        else
            folders.insert(path);
        for (qsizetype slash = path.lastIndexOf(QLatin1Char('/')); slash > 0;
             slash = path.lastIndexOf(QLatin1Char('/'))) {
            path.truncate(slash);
            folders.insert(path);
        }
    }
    if (files.intersects(folders))
        return false;
    const QDir appDir(appPath);
    for (const QString &folder : std::as_const(folders))
        appDir.mkpath(folder);
    return true;
}

int window::InstallAndLaunch(QByteArray package)
{
    QBuffer buffer(&package);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    if (!zip.open(QuaZip::mdUnzip, nullptr)) {
        qDebug() << "Impossible d'ouvrir le ZIP en mémoire !";
        return -1;
    }

    qint64 totalSize = 0;
    const QString parent = installParent.isEmpty() ? QCoreApplication::applicationDirPath()
                                                   : installParent;
    const QString appPath = parent + QStringLiteral("/") + QStringLiteral("App");
    QDir appDir(appPath);
    const int threads = qBound(1, QThread::idealThreadCount(), 4);
    // A link named App is taken away, not what it points to.
    if (QFileInfo(appPath).isSymLink())
        QFile::remove(appPath);
    else if (appDir.exists())
        removeTree(appPath, threads);
    if (!appDir.mkpath(QStringLiteral("."))) {
        qDebug() << "Impossible de créer le dossier App:" << appPath;
        return -1;
    }

    EntryWriter writer(this, threads > 1 && prepareFolders(zip, appPath) ? threads : 0);
    QList<EntryProblem> problems;
    QuaZipFile entry(&zip);
    int index = 0;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile(), ++index) {
        QuaZipFileInfo64 info;
        zip.getCurrentFileInfo(&info);
        const QString name = zip.getCurrentFileName();
        const QString path = appDir.filePath(name);
        if (!isSafeEntry(name, info)
            || !QDir::cleanPath(path).startsWith(appPath + QLatin1Char('/'))) {
            problems.append({index, EntryProblem::Unsafe, name});
            continue;
        }
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
