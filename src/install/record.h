#pragma once

#include <QString>

// A record of the installed release, kept beside App (App holds the package's files
// only): the package's SHA-256 and every file and folder in App as it was left, so that
// a later run can tell that App is still exactly that release. It is written once an
// installation is complete and removed before one touches App, so a record that matches
// App stands for a complete installation.

// Writes the record of `appPath` as it is now, for the package `sha256`, under a
// temporary name and then renamed. False when it could not be written.
bool writeRecord(const QString &appPath, const QString &sha256);
void removeRecord(const QString &appPath);
// Makes the record of `from`, when there is one, the record of `to`, for a tree renamed
// from one to the other.
void moveRecord(const QString &from, const QString &to);

// The SHA-256 of the release installed in `appPath` when its record is readable, of
// this format, and App is exactly as recorded; otherwise empty: nothing complete is
// installed.
QString installedRelease(const QString &appPath);

// The SHA-256 that the record of `appPath` names, without looking at App: the package that
// the last complete installation came from. Empty without a readable record.
QString recordedRelease(const QString &appPath);
