#include "preflight.h"

#include "names.h"
#include "zipdirectory.h"

#include <QDir>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>

NameProblem nameProblem(const QString &name)
{
    const QStringList parts
            = QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    // Absolute, a share, a drive or a resource, or climbing out with "..".
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))
        || name.startsWith(QLatin1Char(':')) || (name.size() > 1 && name.at(1) == QLatin1Char(':'))
        || parts.contains(QStringLiteral(".."))) {
        return NameProblem::Outside;
    }
    // A stream on Windows, a folder there; legal in a name elsewhere, yet not everywhere.
    if (name.contains(QLatin1Char(':')) || name.contains(QLatin1Char('\\')))
        return NameProblem::Unsupported;
    return NameProblem::None;
}

QString installName(const QuaZipFileInfo64 &info)
{
    const QString &name = info.name;
    if (nameProblem(name) != NameProblem::None || info.isSymbolicLink())
        return QString();
    const bool folder = name.endsWith(QLatin1Char('/'));
    const QString clean = QDir::cleanPath(name);
    if (clean == QLatin1String("."))
        return folder ? QStringLiteral("./") : QString();
    return folder ? clean + QLatin1Char('/') : clean;
}

bool isReadableEntry(const QuaZipFileInfo64 &info)
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

static constexpr quint64 mostBytes = quint64(1) << 62;

static qint64 roundUp(quint64 bytes, qint64 blockSize)
{
    const quint64 block = quint64(qMax<qint64>(blockSize, 1));
    return qint64(qMin<quint64>((qMin(bytes, mostBytes) + block - 1) / block * block, mostBytes));
}

bool readEntry(QuaZip &zip, const PlannedEntry &entry, QByteArray *data)
{
    // A reader of its own: after a checksum error QuaZipFile stays open, and would refuse
    // every entry after this one.
    QuaZipFile file(&zip);
    if (!entry.readable || !file.open(QIODevice::ReadOnly))
        return false;
    *data = file.readAll();
    file.close();
    // The reader reports damaged data late: a short read, or a checksum error on close.
    return file.getZipError() == UNZ_OK && quint64(data->size()) == entry.size;
}

// A damaged program would be found only after the old installation is gone.
static bool programUnpacks(QuaZip &zip, const InstallPlan &plan, int program)
{
    bool more = zip.goToFirstFile();
    for (int index = 0; more && index < program; ++index)
        more = zip.goToNextFile();
    QByteArray data;
    return more && readEntry(zip, plan.entries.at(program), &data);
}

// One name cannot be both a file and a folder: whichever came second would fail, after
// App is gone. Names them, or nothing.
static QString fileAndFolder(const QSet<QString> &files, const QSet<QString> &folders)
{
    QStringList both = QSet<QString>(files).intersect(folders).values();
    if (both.isEmpty())
        return QString();
    both.sort();
    return QStringLiteral("à la fois fichier et dossier dans le paquet: %1")
            .arg(both.join(QStringLiteral(", ")));
}

QString planInstallation(QuaZip &zip, QByteArrayView archive, qint64 blockSize, InstallPlan *plan,
                         const QString &required)
{
    qint64 records = 0;
    const QString problem = countZipDirectory(archive, &records);
    if (!problem.isEmpty())
        return problem;

    const QString program = required.isEmpty() ? QString::fromLatin1(programPath) : required;
    int programEntry = -1;
    QSet<QString> files;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        PlannedEntry entry;
        if (!zip.getCurrentFileInfo(&info))
            return QStringLiteral("entrée %1 du répertoire illisible").arg(plan->entries.size() + 1);
        entry.name = installName(info);
        entry.archiveName = info.name;
        entry.unsupported = !info.isSymbolicLink()
                && nameProblem(info.name) == NameProblem::Unsupported;
        entry.size = info.uncompressedSize;
        entry.readable = isReadableEntry(info);
        entry.execute = executeBits(info);
        plan->entries.append(entry);
        QString name = entry.name;
        if (name.isEmpty())
            continue;
        if (name.endsWith(QLatin1Char('/'))) {
            name.chop(1);
            plan->folders.insert(name);
        } else {
            files.insert(name);
            // Of two, the later readable one is what gets installed.
            if (name == program && entry.readable)
                programEntry = int(plan->entries.size()) - 1;
        }
        // Each term is at most 2^62, so the sum cannot wrap.
        plan->bytesNeeded = qint64(qMin(
                quint64(plan->bytesNeeded) + quint64(roundUp(info.uncompressedSize, blockSize)),
                mostBytes));
        for (qsizetype slash = name.lastIndexOf(QLatin1Char('/')); slash > 0;
             slash = name.lastIndexOf(QLatin1Char('/'))) {
            name.truncate(slash);
            plan->folders.insert(name);
        }
    }
    plan->folders.remove(QStringLiteral("."));
    if (zip.getZipError() != UNZ_OK || plan->entries.size() != records) {
        return QStringLiteral("répertoire du ZIP illisible après %1 entrées sur %2")
                .arg(plan->entries.size())
                .arg(records);
    }
    if (programEntry < 0)
        return QStringLiteral("pas de fichier %1 lisible dans le paquet").arg(program);
    if (!programUnpacks(zip, *plan, programEntry))
        return QStringLiteral("%1 endommagé dans le paquet").arg(program);
    const QString conflict = fileAndFolder(files, plan->folders);
    if (!conflict.isEmpty())
        return conflict;
    plan->bytesNeeded += qint64(plan->folders.size()) * roundUp(1, blockSize);
    plan->nodesNeeded = files.size() + plan->folders.size() + 1;
    return QString();
}

QStringList damagedEntries(QuaZip &zip, const InstallPlan &plan)
{
    QStringList damaged;
    qsizetype index = 0;
    for (bool more = zip.goToFirstFile(); more && index < plan.entries.size();
         more = zip.goToNextFile(), ++index) {
        const PlannedEntry &entry = plan.entries.at(index);
        QByteArray data;
        if (!entry.name.isEmpty() && !readEntry(zip, entry, &data))
            damaged.append(entry.archiveName);
    }
    return damaged;
}
