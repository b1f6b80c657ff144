#pragma once

#include <QByteArrayView>
#include <QSet>
#include <QString>

class QuaZip;
struct QuaZipFileInfo64;

// What the archive's directory says about the installation, learnt before App is
// touched, without unpacking anything.
struct InstallPlan
{
    qint64 entries = 0;
    // Unpacked, each file and folder rounded up to whole blocks of the file system.
    qint64 bytesNeeded = 0;
    // Every folder that the entries need, relative to App.
    QSet<QString> folders;
    // No file stands where another entry needs a folder, so all folders can be made
    // first and the files written in any order.
    bool foldersFirst = true;
};

// The entry's name relative to App, cleaned ("./a//b" is "a/b"), with a final '/' for a
// folder; empty when the entry could reach outside App or is a symbolic link.
QString installName(const QuaZipFileInfo64 &info);

// Whether the zip reader can check the entry completely: not encrypted (it would open
// without a password and yield garbage), stored or deflated.
bool isReadableEntry(const QuaZipFileInfo64 &info);

// Reads the whole directory of the open archive. False, with the reason, when the
// directory cannot be read to its end, or holds no readable bin/PellarinApp.exe.
bool planInstallation(QuaZip &zip, QByteArrayView archive, qint64 blockSize, InstallPlan *plan,
                      QString *problem);
