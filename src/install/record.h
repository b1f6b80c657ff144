#pragma once

#include <QList>
#include <QString>

// A record of the installed release, kept beside App (App holds the package's files
// only): the package's SHA-256 and every file and folder in App as it was left, so that
// a later run can tell that App is still exactly that release. It is written once an
// installation is complete and removed before one touches App, so a record that matches
// App stands for a complete installation.

// One file or folder of a tree, as the file system describes it.
struct TreeEntry
{
    QString path; // relative to the tree's root
    char type = 'f'; // 'f' file, 'd' folder, 'l' link, 'o' anything else
    qint64 size = 0;
    quint32 mode = 0; // permission bits
    qint64 modified = 0; // nanoseconds since the epoch, where the system keeps them
};

// Every entry below `root`, links not followed, sorted by path.
QList<TreeEntry> describeTree(const QString &root);

// The record's path for the installation folder `appPath`.
QString recordPath(const QString &appPath);

// Writes the record of `appPath` as it is now, for the package `sha256`, under a
// temporary name and then renamed. False when it could not be written.
bool writeRecord(const QString &appPath, const QString &sha256);
void removeRecord(const QString &appPath);

// The SHA-256 of the release installed in `appPath` when its record is readable, of
// this format, and App is exactly as recorded; otherwise empty: nothing complete is
// installed.
QString installedRelease(const QString &appPath);
