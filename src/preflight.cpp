#include "preflight.h"

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

static qint64 roundUp(quint64 bytes, qint64 blockSize)
{
    const quint64 block = quint64(qMax<qint64>(blockSize, 1));
    return qint64(qMin<quint64>((bytes + block - 1) / block * block, quint64(1) << 62));
}

bool planInstallation(QuaZip &zip, QByteArrayView archive, qint64 blockSize, InstallPlan *plan,
                      QString *problem)
{
    const qint64 records = countZipDirectory(archive, problem);
    if (records < 0)
        return false;

    const QString program = QStringLiteral("bin/PellarinApp.exe");
    bool hasProgram = false;
    QSet<QString> files;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info)) {
            *problem = QStringLiteral("entrée %1 du répertoire illisible").arg(plan->entries + 1);
            return false;
        }
        ++plan->entries;
        QString name = installName(info);
        if (name.isEmpty())
            continue;
        if (name.endsWith(QLatin1Char('/'))) {
            name.chop(1);
            plan->folders.insert(name);
        } else {
            files.insert(name);
            if (name == program && isReadableEntry(info))
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
    if (zip.getZipError() != UNZ_OK || plan->entries != records) {
        *problem = QStringLiteral("répertoire du ZIP illisible après %1 entrées sur %2")
                           .arg(plan->entries)
                           .arg(records);
        return false;
    }
    if (!hasProgram) {
        *problem = QStringLiteral("pas de fichier %1 lisible dans le paquet").arg(program);
        return false;
    }
    plan->bytesNeeded += qint64(plan->folders.size()) * roundUp(1, blockSize);
    plan->foldersFirst = !files.intersects(plan->folders);
    return true;
}
