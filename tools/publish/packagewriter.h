#pragma once

#include <QString>
#include <QStringList>

// The package: the folder's contents with no enclosing folder, '/' as separator, an entry
// for each empty folder and the files' Unix permissions.

// Files and empty folders below `root`, relative to it, in a stable order; folders end
// in '/'. Fails on a symbolic link: a package holds plain files and folders only.
bool collectEntries(const QString &root, QStringList *entries, QString *error);

// Packs `entries` of `root` into the zip file `target`.
bool writePackage(const QString &root, const QStringList &entries, const QString &target,
                  QString *error);
