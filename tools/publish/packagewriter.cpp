#include "packagewriter.h"

#include "preflight.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

bool collectEntries(const QString &root, QStringList *entries, QString *error)
{
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString name = QDir(root).relativeFilePath(path);
        if (info.isSymLink()) {
            *error = QStringLiteral("%1 is a symbolic link; a package holds plain files and "
                                    "folders only")
                             .arg(path);
            return false;
        }
        if (nameProblem(name) != NameProblem::None) {
            *error = QStringLiteral("%1: the updater skips names with ':' or '\\', which are not "
                                    "file names on every system; rename it")
                             .arg(path);
            return false;
        }
        if (info.isDir()) {
            if (QDir(path).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
                                   | QDir::System)) {
                entries->append(name + QLatin1Char('/'));
            }
        } else if (info.isFile()) {
            entries->append(name);
        } else {
            *error = QStringLiteral("%1 is neither a file nor a folder").arg(path);
            return false;
        }
    }
    entries->sort();
    return true;
}

bool writePackage(const QString &root, const QStringList &entries, const QString &target,
                  QString *error)
{
    // Made first with QFile, which says why it cannot be.
    QFile probe(target);
    if (!probe.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(target, probe.errorString());
        return false;
    }
    probe.close();
    QuaZip zip(target);
    zip.setOsCode(3); // Unix, so that the permission bits are read back
    zip.setUtf8Enabled(true);
    if (!zip.open(QuaZip::mdCreate)) {
        *error = QStringLiteral("cannot write %1").arg(target);
        return false;
    }
    for (const QString &name : entries) {
        const QString path = root + QLatin1Char('/') + name;
        QuaZipNewInfo info(name, path);
        QuaZipFile out(&zip);
        if (!out.open(QIODevice::WriteOnly, info)) {
            *error = QStringLiteral("cannot add %1 to the package").arg(name);
            return false;
        }
        if (!name.endsWith(QLatin1Char('/'))) {
            QFile in(path);
            if (!in.open(QIODevice::ReadOnly)) {
                *error = QStringLiteral("cannot read %1: %2").arg(path, in.errorString());
                return false;
            }
            while (!in.atEnd()) {
                const QByteArray chunk = in.read(1 << 20);
                if (chunk.isEmpty() || out.write(chunk) != chunk.size()) {
                    *error = QStringLiteral("cannot pack %1: %2").arg(path, out.errorString());
                    return false;
                }
            }
        }
        out.close();
        if (out.getZipError() != ZIP_OK) {
            *error = QStringLiteral("cannot pack %1 (zip error %2)").arg(path).arg(out.getZipError());
            return false;
        }
    }
    zip.close();
    if (zip.getZipError() != ZIP_OK) {
        *error = QStringLiteral("cannot finish %1 (zip error %2)").arg(target).arg(zip.getZipError());
        return false;
    }
    return true;
}
