#include "preflight.h"

#include "paths.h"
#include "zipdirectory.h"

#include <QDir>

#include <quazip.h>
#include <quazipfileinfo.h>

QString installName(const QuaZipFileInfo64 &info)
{
    const QString &name = info.name;
    // Absolute, a drive, stream or resource, or climbing out with "..".
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))
        || name.contains(QLatin1Char(':')) || info.isSymbolicLink()
        || name.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
        return QString();
    }
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

static qint64 roundUp(quint64 bytes, qint64 blockSize)
{
    const quint64 block = quint64(qMax<qint64>(blockSize, 1));
    return qint64(qMin<quint64>((bytes + block - 1) / block * block, quint64(1) << 62));
}

QString planInstallation(QuaZip &zip, QByteArrayView archive, qint64 blockSize, InstallPlan *plan)
{
    qint64 records = 0;
    const QString problem = countZipDirectory(archive, &records);
    if (!problem.isEmpty())
        return problem;

    const QString program = QString::fromLatin1(programPath);
    bool hasProgram = false;
    QSet<QString> files;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        PlannedEntry entry;
        if (!zip.getCurrentFileInfo(&info)
            || unzGetFilePos64(zip.getUnzFile(), &entry.position) != UNZ_OK) {
            return QStringLiteral("entrée %1 du répertoire illisible").arg(plan->entries.size() + 1);
        }
        entry.name = installName(info);
        entry.archiveName = info.name;
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
            if (name == program && entry.readable)
                hasProgram = true;
        }
        plan->bytesNeeded = qMin(plan->bytesNeeded + roundUp(info.uncompressedSize, blockSize),
                                 qint64(1) << 62);
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
    if (!hasProgram)
        return QStringLiteral("pas de fichier %1 lisible dans le paquet").arg(program);
    plan->bytesNeeded += qint64(plan->folders.size()) * roundUp(1, blockSize);
    plan->foldersFirst = !files.intersects(plan->folders);
    return QString();
}
