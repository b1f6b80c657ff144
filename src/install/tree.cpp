#include "tree.h"

#include "workers.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

// Lists a folder's tree, folders before what they hold, and gives the owner full rights
// to every folder on the way, so that what it holds can be listed and deleted.
static void openAndListTree(const QString &folder, QStringList *files, QStringList *folders)
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
            openAndListTree(entry.filePath(), files, folders);
        else
            files->append(entry.filePath());
    }
}

bool isLink(const QString &path)
{
    const QFileInfo info(path);
    return info.isSymLink() || info.isJunction();
}

void removeTree(const QString &path, int threads)
{
    // A link goes, and what it points to stays: it may be anyone's folder.
    if (isLink(path)) {
        if (!QFile::remove(path))
            QDir().rmdir(path); // a junction
        return;
    }
    QStringList files;
    QStringList folders;
    openAndListTree(path, &files, &folders);
    runShares(threads, [&files, threads](int first) {
        for (qsizetype i = first; i < files.size(); i += threads) {
            if (!QFile::remove(files.at(i))) {
                // Windows refuses to delete a read-only file.
                QFile::setPermissions(files.at(i), QFile::WriteUser | QFile::ReadUser);
                QFile::remove(files.at(i));
            }
        }
    });
    for (auto folder = folders.crbegin(); folder != folders.crend(); ++folder)
        QDir().rmdir(*folder);
}

QStringList remainsOf(const QString &path)
{
    const QFileInfo root(path);
    if (isLink(path))
        return {path};
    // A file named App is no installation: making the folder fails and says so.
    if (!root.isDir())
        return {};
    QStringList files;
    QStringList folders;
    openAndListTree(path, &files, &folders);
    std::reverse(folders.begin(), folders.end());
    return files + folders;
}

TreeUsage treeUsage(const QString &path, qint64 blockSize)
{
    const qint64 block = qMax<qint64>(blockSize, 1);
    TreeUsage usage;
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++usage.nodes;
        if (it.fileInfo().isFile() && !it.fileInfo().isSymLink())
            usage.bytes += (it.fileInfo().size() + block - 1) / block * block;
    }
    return usage;
}
