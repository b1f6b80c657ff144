#include "updaterversions.h"

#include "names.h"
#include "preflight.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

bool isDottedVersion(const QString &version)
{
    // Anchored at the very end: '$' would also match before a final newline.
    static const QRegularExpression dotted(
            QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{1,9}(\\.[0-9]{1,9})*")));
    return dotted.match(version).hasMatch();
}

bool isInstallationStamp(const QString &entry)
{
    const QString first = entry.section(QLatin1Char('/'), 0, 0);
    for (const char *stamp : versionStamps) {
        if (first == QLatin1String(stamp))
            return true;
    }
    return first.endsWith(QLatin1String(partialSuffix));
}

void leaveOutStamps(InstallPlan *plan)
{
    plan->entries.removeIf(
            [](const PlannedEntry &entry) { return isInstallationStamp(entry.name); });
    plan->folders.removeIf([](const QString &folder) { return isInstallationStamp(folder); });
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
    return QFileInfo(path(version) + QLatin1Char('/') + QLatin1String(completeStamp)).isFile();
}

bool UpdaterVersions::hasFailed(const QString &version) const
{
    return QFileInfo::exists(path(version) + QLatin1Char('/') + QLatin1String(failedStamp));
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
    QString why = writeChoice(root + QLatin1Char('/') + QLatin1String(previousChoice), running);
    if (why.isEmpty())
        why = writeChoice(root + QLatin1Char('/') + QLatin1String(currentChoice), version);
    if (why.isEmpty())
        removeOthers({version, running});
    return why;
}

void UpdaterVersions::removeOthers(const QStringList &keep, bool keepFailed) const
{
    const QFileInfoList entries = QDir(root).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot
                                                           | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        const bool version = isDottedVersion(name) && !keep.contains(name)
                && !(keepFailed && hasFailed(name));
        // A leftover of a killed update: a version being unpacked or downloaded, or a
        // choice being written.
        const bool leftover = name.endsWith(QLatin1String(partialSuffix))
                || ((name.startsWith(QLatin1String(currentChoice) + QLatin1Char('.'))
                     || name.startsWith(QLatin1String(previousChoice) + QLatin1Char('.')))
                    && !entry.isDir());
        if (!version && !leftover)
            continue;
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}

QString UpdaterVersions::choice(const char *name) const
{
    QFile file(root + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString version = QString::fromUtf8(file.readLine(64)).trimmed();
    return isDottedVersion(version) ? version : QString();
}

void UpdaterVersions::tidy(const QString &running) const
{
    // The running version stays whatever the files say: it is one that works. One marked
    // .failed stays too, so that it is not taken again, until a newer one is installed.
    removeOthers({choice(currentChoice), choice(previousChoice), running}, true);
}
