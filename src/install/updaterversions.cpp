#include "updaterversions.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

bool isDottedVersion(const QString &version)
{
    static const QRegularExpression dotted(QStringLiteral("^[0-9]{1,9}(\\.[0-9]{1,9})*$"));
    return dotted.match(version).hasMatch();
}

int compareVersions(const QString &a, const QString &b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < qMax(left.size(), right.size()); ++i) {
        const int l = left.value(i).toInt();
        const int r = right.value(i).toInt();
        if (l != r)
            return l < r ? -1 : 1;
    }
    return 0;
}

bool UpdaterVersions::isComplete(const QString &version) const
{
    return QFileInfo(path(version) + "/.complete").isFile();
}

bool UpdaterVersions::hasFailed(const QString &version) const
{
    return QFileInfo::exists(path(version) + "/.failed");
}

// Writes `file` anew, flushed to the disk before it replaces the old one.
static QString writeChoice(const QString &file, const QString &version)
{
    QSaveFile save(file);
    if (save.open(QIODevice::WriteOnly) && save.write(version.toUtf8() + '\n') > 0 && save.commit())
        return QString();
    return QStringLiteral("cannot write %1: %2").arg(file, save.errorString());
}

QString UpdaterVersions::makeCurrent(const QString &version, const QString &running) const
{
    QString why = writeChoice(root + "/previous", running);
    if (why.isEmpty())
        why = writeChoice(root + "/current", version);
    if (why.isEmpty())
        removeOthers(version, running);
    return why;
}

void UpdaterVersions::removeOthers(const QString &keep, const QString &keepToo) const
{
    const QFileInfoList entries = QDir(root).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot
                                                           | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        const bool version = isDottedVersion(name) && name != keep && name != keepToo;
        // A leftover of a killed update: a version being unpacked or downloaded, or a
        // choice being written.
        const bool leftover = name.endsWith(QLatin1String(".partial"))
                || ((name.startsWith(QLatin1String("current."))
                     || name.startsWith(QLatin1String("previous.")))
                    && !entry.isDir());
        if (!version && !leftover)
            continue;
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}
