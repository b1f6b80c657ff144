#pragma once

#include <QString>
#include <QStringList>

// Folder trees of an installation. App belongs wholly to the updater: a folder left
// read-only in it, by an installer or by hand, is opened up on the way, or nothing in
// it could be deleted. Links are never followed.

// Whether `path` itself is a link (on Windows also a junction), whatever it points to.
bool isLink(const QString &path);

// Deletes a folder and everything in it, the files on `threads` threads; a link is
// deleted itself, never what it points to.
void removeTree(const QString &path, int threads);

// What is left of a tree that should be gone: the files first, then the folders,
// innermost first. A link is what is left of itself.
QStringList remainsOf(const QString &path);

// What a tree takes on disk: its files' bytes in whole blocks, and its files and folders.
struct TreeUsage
{
    qint64 bytes = 0;
    qint64 nodes = 0;
};
TreeUsage treeUsage(const QString &path, qint64 blockSize);
