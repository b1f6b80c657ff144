#include "record.h"

#include "regularfile.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_UNIX
#    include <dirent.h>
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

static const QByteArray format = "pellarin-installed-release 1";

// One file or folder of a tree, as the file system describes it.
struct TreeEntry
{
    QString path; // relative to the tree's root
    char type = 'f'; // 'f' file, 'd' folder, 'l' link, 'o' anything else
    qint64 size = 0;
    quint32 mode = 0; // permission bits
    qint64 modified = 0; // nanoseconds since the epoch, where the system keeps them
};

#ifdef Q_OS_UNIX
static TreeEntry describe(const struct stat &info, const QString &relative)
{
    TreeEntry entry;
    entry.path = relative;
    entry.type = S_ISREG(info.st_mode) ? 'f'
            : S_ISDIR(info.st_mode)    ? 'd'
            : S_ISLNK(info.st_mode)    ? 'l'
                                       : 'o';
    entry.size = entry.type == 'f' ? qint64(info.st_size) : 0;
    entry.mode = quint32(info.st_mode & 07777);
    entry.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return entry;
}

// A folder's entries and those of its folders, by the system's calls: a start with
// nothing to download must not wait for a listing that stats every file twice.
static void walk(int folder, const QString &prefix, QList<TreeEntry> *entries)
{
    DIR *dir = fdopendir(folder);
    if (!dir) {
        close(folder);
        return;
    }
    while (const dirent *item = readdir(dir)) {
        if (qstrcmp(item->d_name, ".") == 0 || qstrcmp(item->d_name, "..") == 0)
            continue;
        struct stat info;
        const QString relative = prefix + QFile::decodeName(item->d_name);
        if (fstatat(dirfd(dir), item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            entries->append({relative, 'o', 0, 0, 0});
            continue;
        }
        entries->append(describe(info, relative));
        if (S_ISDIR(info.st_mode)) {
            const int child = openat(dirfd(dir), item->d_name,
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0)
                walk(child, relative + QLatin1Char('/'), entries);
        }
    }
    closedir(dir);
}

// Every entry below `root`, links not followed, in the order the system lists them.
static QList<TreeEntry> listEntries(const QString &root)
{
    QList<TreeEntry> entries;
    const int folder = open(QFile::encodeName(root).constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder >= 0)
        walk(folder, QString(), &entries);
    return entries;
}
#else
static QList<TreeEntry> listEntries(const QString &root)
{
    QList<TreeEntry> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        TreeEntry entry;
        entry.path = base.relativeFilePath(info.filePath());
        entry.type = info.isSymLink() ? 'l' : info.isDir() ? 'd' : info.isFile() ? 'f' : 'o';
        entry.size = entry.type == 'f' ? info.size() : 0;
        entry.mode = quint32(info.permissions().toInt());
        entry.modified = info.lastModified().toMSecsSinceEpoch() * 1000000;
        entries.append(entry);
    }
    return entries;
}
#endif

// The same, sorted by path, as a record lists them.
static QList<TreeEntry> describeTree(const QString &root)
{
    QList<TreeEntry> entries = listEntries(root);
    std::sort(entries.begin(), entries.end(),
              [](const TreeEntry &a, const TreeEntry &b) { return a.path < b.path; });
    return entries;
}

static QString recordPath(const QString &appPath)
{
    return appPath + QStringLiteral(".record");
}

// One line an entry: type, size, mode, time, then the path, percent-encoded so that no
// name can break the line.
static QByteArray recordText(const QString &sha256, const QList<TreeEntry> &entries)
{
    QByteArray text = format + '\n' + sha256.toLatin1() + '\n';
    text.reserve(text.size() + entries.size() * 96);
    for (const TreeEntry &entry : entries) {
        char fields[96];
        const int length = std::snprintf(fields, sizeof fields, "%c %lld %o %lld ", entry.type,
                                         qlonglong(entry.size), entry.mode,
                                         qlonglong(entry.modified));
        text.append(fields, length).append(QUrl::toPercentEncoding(entry.path)).append('\n');
    }
    return text;
}

bool writeRecord(const QString &appPath, const QString &sha256)
{
    QSaveFile file(recordPath(appPath));
    return file.open(QIODevice::WriteOnly)
            && file.write(recordText(sha256, describeTree(appPath))) >= 0 && file.commit();
}

void removeRecord(const QString &appPath)
{
    QFile::remove(recordPath(appPath));
}

void moveRecord(const QString &from, const QString &to)
{
    if (!QFileInfo::exists(recordPath(from)))
        return;
    // Windows renames onto nothing.
    removeRecord(to);
    QFile::rename(recordPath(from), recordPath(to));
}

QString installedRelease(const QString &appPath)
{
    static constexpr qint64 limit = 64 * 1024 * 1024;
    QFile file(recordPath(appPath));
    if (!openRegular(file, QIODevice::ReadOnly) || file.size() > limit)
        return QString();
    const QByteArray text = file.read(limit);
    const int end = text.indexOf('\n', format.size() + 1);
    if (!text.startsWith(format + '\n') || end < 0)
        return QString();
    const QString sha256 = QString::fromLatin1(text.mid(format.size() + 1, end - format.size() - 1));
    if (sha256.isEmpty() || !QFileInfo(appPath).isDir() || QFileInfo(appPath).isSymLink())
        return QString();
    // The tree as it is now, written as the record would be.
    return recordText(sha256, describeTree(appPath)) == text ? sha256 : QString();
}

QString recordedRelease(const QString &appPath)
{
    QFile file(recordPath(appPath));
    if (!openRegular(file, QIODevice::ReadOnly) || file.readLine().trimmed() != format)
        return QString();
    return QString::fromLatin1(file.readLine(80).trimmed());
}
