#include "record.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>

#ifdef Q_OS_UNIX
#    include <sys/stat.h>
#endif

static const QByteArray format = "pellarin-installed-release 1";

static TreeEntry describe(const QString &path, const QString &relative)
{
    TreeEntry entry;
    entry.path = relative;
#ifdef Q_OS_UNIX
    struct stat info;
    if (lstat(QFile::encodeName(path).constData(), &info) != 0) {
        entry.type = 'o';
        return entry;
    }
    entry.type = S_ISREG(info.st_mode) ? 'f'
            : S_ISDIR(info.st_mode)    ? 'd'
            : S_ISLNK(info.st_mode)    ? 'l'
                                       : 'o';
    entry.size = entry.type == 'f' ? qint64(info.st_size) : 0;
    entry.mode = quint32(info.st_mode & 07777);
    entry.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
#else
    const QFileInfo info(path);
    entry.type = info.isSymLink() ? 'l' : info.isDir() ? 'd' : info.isFile() ? 'f' : 'o';
    entry.size = entry.type == 'f' ? info.size() : 0;
    entry.mode = quint32(info.permissions().toInt());
    entry.modified = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return entry;
}

QList<TreeEntry> describeTree(const QString &root)
{
    QList<TreeEntry> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.append(describe(path, base.relativeFilePath(path)));
    }
    std::sort(entries.begin(), entries.end(),
              [](const TreeEntry &a, const TreeEntry &b) { return a.path < b.path; });
    return entries;
}

QString recordPath(const QString &appPath)
{
    return appPath + QStringLiteral(".record");
}

// One line an entry: type, size, mode, time, then the path, percent-encoded so that no
// name can break the line.
static QByteArray line(const TreeEntry &entry)
{
    return QByteArray(1, entry.type) + ' ' + QByteArray::number(entry.size) + ' '
            + QByteArray::number(entry.mode, 8) + ' ' + QByteArray::number(entry.modified) + ' '
            + QUrl::toPercentEncoding(entry.path) + '\n';
}

static QByteArray recordText(const QString &sha256, const QList<TreeEntry> &entries)
{
    QByteArray text = format + '\n' + sha256.toLatin1() + '\n';
    for (const TreeEntry &entry : entries)
        text += line(entry);
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

QString installedRelease(const QString &appPath)
{
    QFile file(recordPath(appPath));
    if (!file.open(QIODevice::ReadOnly) || file.size() > 64 * 1024 * 1024)
        return QString();
    const QByteArray text = file.readAll();
    const int end = text.indexOf('\n', format.size() + 1);
    if (!text.startsWith(format + '\n') || end < 0)
        return QString();
    const QString sha256 = QString::fromLatin1(text.mid(format.size() + 1, end - format.size() - 1));
    if (sha256.isEmpty() || !QFileInfo(appPath).isDir() || QFileInfo(appPath).isSymLink())
        return QString();
    // The tree as it is now, written as the record would be.
    return recordText(sha256, describeTree(appPath)) == text ? sha256 : QString();
}
