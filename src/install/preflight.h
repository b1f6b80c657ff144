#pragma once

#include <QByteArrayView>
#include <QFile>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

class QuaZip;
struct QuaZipFileInfo64;

// One entry of the archive, as its directory describes it.
struct PlannedEntry
{
    // Relative to App and cleaned, with a final '/' for a folder; empty when the entry
    // could reach outside App.
    QString name;
    // As the archive spells it.
    QString archiveName;
    // Left out for a name that not every system takes (see nameProblem()).
    bool unsupported = false;
    quint64 size = 0;
    bool readable = false;
    // Execute bits to add once the file is written.
    QFile::Permissions execute;
};

// What the archive's directory says about the installation, learnt before App is
// touched, without unpacking anything.
struct InstallPlan
{
    // Every entry, in archive order.
    QList<PlannedEntry> entries;
    // Unpacked, each file and folder rounded up to whole blocks of the file system; at
    // most 2^62.
    qint64 bytesNeeded = 0;
    // Files and folders to make, App included.
    qint64 nodesNeeded = 0;
    // Every folder that the entries need, relative to App. No file has the name of one,
    // so all folders can be made first and the files written in any order.
    QSet<QString> folders;
};

// Why a package's entry of this name is left out: it could reach outside App, or it
// holds ':' or '\\', which are not file names everywhere; or nothing.
enum class NameProblem { None, Outside, Unsupported };
NameProblem nameProblem(const QString &name);

// The entry's name relative to App, cleaned ("./a//b" is "a/b"), with a final '/' for a
// folder; empty when nameProblem() finds one or the entry is a symbolic link.
QString installName(const QuaZipFileInfo64 &info);

// Whether the zip reader can check the entry completely: not encrypted (it would open
// without a password and yield garbage), stored or deflated.
bool isReadableEntry(const QuaZipFileInfo64 &info);

// The whole contents of the archive's current entry, which `entry` describes, checked
// against its CRC and the size the directory gives.
bool readEntry(QuaZip &zip, const PlannedEntry &entry, QByteArray *data);

// Reads the whole directory of the open archive, and inflates the program. Returns why
// the package cannot be installed (the directory cannot be read to its end, holds no
// `program`, by default bin/PellarinApp.exe, that unpacks whole, or names a file where a
// folder must be), or nothing.
QString planInstallation(QuaZip &zip, QByteArrayView archive, qint64 blockSize, InstallPlan *plan,
                         const QString &program = QString());

// The archive's names of the entries that the installer would leave out, damaged or
// unreadable; inflates every entry of the plan. Unsafe names, left out by design, are not
// among them.
QStringList damagedEntries(QuaZip &zip, const InstallPlan &plan);
