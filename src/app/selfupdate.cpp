#include "selfupdate.h"

#include "download.h"
#include "installation.h"
#include "names.h"
#include "proxies.h"
#include "signedstate.h"
#include "updaterversions.h"
#include "verification.h"
#include "versionfolder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QScopeGuard>
#include <QStorageInfo>

namespace {

// A version that cannot prove itself within this long is not taken. Its proof costs the
// manifest and at most one small request, whatever the release's size.
constexpr int qualificationLimit = 60 * 1000;

// An updater is a few tens of MB at most: a package larger than this is refused before
// it is downloaded, whatever its entry says, and a download without a size ends here.
constexpr qint64 maxUpdaterSize = qint64(64) * 1024 * 1024;

// The signed time of the version that runs, kept beside it when it was installed by an
// update; -1 for one that the setup program installed.
qint64 ownSignedTime()
{
    QFile file(QCoreApplication::applicationDirPath() + QLatin1Char('/')
               + QLatin1String(signedStamp));
    bool number = false;
    const qint64 time = file.open(QIODevice::ReadOnly)
            ? file.readLine().trimmed().toLongLong(&number)
            : -1;
    return number ? time : -1;
}

QString runningVersion()
{
    return QFileInfo(QCoreApplication::applicationDirPath()).fileName();
}

// No updater signed before this one, or before this one was built, is taken: a version
// installed by the setup program has a floor too.
qint64 signedFloor(const Settings &settings)
{
    return qMax(ownSignedTime(), settings.buildTime);
}

// Downloads the release into `file` and verifies it. Why it is refused, or nothing.
QString fetchVerified(const Settings &settings, const UpdaterRelease &release, QFile &file,
                      Verification *verification)
{
    if (release.size > maxUpdaterSize)
        return QStringLiteral("its package of %1 bytes is over the limit of %2 MiB for an updater")
                .arg(release.size)
                .arg(maxUpdaterSize / 1048576);
    QNetworkAccessManager manager;
    useSystemProxies(&manager);
    Download download(&manager, QUrl(release.url, QUrl::TolerantMode), settings, maxUpdaterSize,
                      release.size, !settings.signingKeys.isEmpty(), &file);
    QEventLoop loop;
    QObject::connect(&download, &Download::finished, &loop, &QEventLoop::quit);
    loop.exec();
    if (download.failed())
        return download.errorString();
    file.flush();
    uchar *bytes = file.size() > 0 ? file.map(0, file.size()) : nullptr;
    if (!bytes)
        return QStringLiteral("the package is empty");
    // Windows removes no file that is mapped, and closing it does not unmap it.
    const auto unmap = qScopeGuard([&] { file.unmap(bytes); });
    SignedState kept = readSignedState(installPath(installationFolder(settings)));
    // This version's floor, whichever key set the application's.
    kept.timestamp = signedFloor(settings);
    kept.key.clear();
    *verification = verifyPackage(
            QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), file.size()),
            download.digest(), download.blake2bDigest(),
            {release.version, release.url, release.hash, release.size, release.signature, {}, {}},
            {settings.signingKeys, kept, QDateTime::currentSecsSinceEpoch()},
            QStorageInfo(file.fileName()).blockSize(), QLatin1String(updaterProgram));
    if (verification->failed != Verification::Passed)
        return verification->reason;
    // Updater releases are newer than signed versions: one without is someone's replay
    // under a version of their choosing.
    if (!settings.signingKeys.isEmpty() && verification->signedRelease.version.isEmpty())
        return QStringLiteral("its signature names no version");
    return QString();
}

bool writeStamp(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text + '\n') > 0 && file.flush();
}

// Unpacks the verified package in `file` into <version>.partial, marks it complete and
// gives it its version's name.
QString unpackVersion(QFile &file, const UpdaterVersions &versions, const QString &version,
                      const Verification &verification)
{
    const QString partial = versions.partialPath(version);
    uchar *bytes = file.map(0, file.size());
    const auto unmap = qScopeGuard([&] { file.unmap(bytes); });
    QByteArray package = QByteArray::fromRawData(reinterpret_cast<const char *>(bytes),
                                                 bytes ? file.size() : 0);
    InstallPlan plan = verification.plan;
    // Whether it ran, proved itself or failed is this installation's to say.
    leaveOutStamps(&plan);
    const SignedRelease &signedRelease = verification.signedRelease;
    const QString room = roomProblem(plan, QFileInfo(partial).path(), true);
    if (!room.isEmpty())
        return room;
    if (!unpackRelease(package, plan, partial))
        return QStringLiteral("the package could not be unpacked whole");
    // Its signed time, which a later updater must not go back before; then, last, the
    // stamp that makes it a version the starter may run.
    if (signedRelease.timestamp >= 0
        && !writeStamp(partial + QLatin1Char('/') + QLatin1String(signedStamp),
                       QByteArray::number(signedRelease.timestamp)))
        return QStringLiteral("cannot write in %1").arg(partial);
    if (!writeStamp(partial + QLatin1Char('/') + QLatin1String(completeStamp), QByteArray()))
        return QStringLiteral("cannot write in %1").arg(partial);
    makeExecutable(partial + QLatin1Char('/') + QLatin1String(updaterProgram));
    if (!QDir().rename(partial, versions.path(version)))
        return QStringLiteral("cannot rename %1 to %2").arg(partial, versions.path(version));
    return QString();
}

// Runs the new version's own check; why it failed, or nothing.
QString qualifyVersion(const QString &folder)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(folder + QLatin1Char('/') + QLatin1String(updaterProgram),
                  {QStringLiteral("--qualify")});
    if (!process.waitForStarted())
        return QStringLiteral("it does not start: %1").arg(process.errorString());
    if (!process.waitForFinished(qualificationLimit)) {
        process.kill();
        process.waitForFinished();
        return QStringLiteral("it did not qualify within %1 s").arg(qualificationLimit / 1000);
    }
    const QByteArray output = process.readAll();
    const qsizetype line = output.lastIndexOf("Qualification failed:");
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return QString();
    return line >= 0 ? QString::fromUtf8(output.mid(line).split('\n').first())
                     : QStringLiteral("its qualification ended with %1").arg(process.exitCode());
}

// From the download to the switch.
QString install(const Settings &settings, const UpdaterRelease &release,
                const UpdaterVersions &versions)
{
    const QString version = release.version;
    if (versions.hasFailed(version))
        return QStringLiteral("it failed to start before");
    // Unpacked whole by an earlier update that was stopped before the switch, it only
    // needs to qualify.
    const bool fresh = !versions.isComplete(version);
    if (fresh) {
        QDir(versions.path(version)).removeRecursively();
        QDir(versions.partialPath(version)).removeRecursively();
        QFile file(versions.path(version) + QStringLiteral(".zip") + QLatin1String(partialSuffix));
        if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate))
            return QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        Verification verification;
        QString why = fetchVerified(settings, release, file, &verification);
        if (why.isEmpty())
            why = unpackVersion(file, versions, version, verification);
        // Closed first, whatever its last flush says (a full disk): QFile::remove() of a
        // file whose close failed removes nothing.
        file.close();
        if (!QFile::remove(file.fileName()) && QFile::exists(file.fileName()))
            why += QStringLiteral("; %1 could not be removed").arg(file.fileName());
        QDir(versions.partialPath(version)).removeRecursively();
        if (!why.isEmpty())
            return why;
    }
    const QString refused = qualifyVersion(versions.path(version));
    if (!refused.isEmpty()) {
        if (fresh)
            QDir(versions.path(version)).removeRecursively();
        return QStringLiteral("it did not qualify: %1").arg(refused);
    }
    return versions.makeCurrent(version, runningVersion());
}

} // namespace

QString updaterPlatform()
{
#ifdef Q_OS_WIN
    return QStringLiteral("windows-x86_64");
#else
    return QStringLiteral("linux-x86_64");
#endif
}

// The versions beside this one, and this one's folder name.
static UpdaterVersions versionsOf(const Settings &settings)
{
    return UpdaterVersions(installationFolder(settings) + QLatin1Char('/')
                           + QLatin1String(updaterFolder));
}

void tidyUpdaterVersions(const Settings &settings)
{
    if (!settings.selfUpdate)
        return;
    const UpdaterVersions versions = versionsOf(settings);
    // Another updater installing a version now owns what lies there.
    QLockFile lock(versions.lockPath());
    if (lock.tryLock(0))
        versions.tidy(runningVersion());
}

void updateUpdater(const Settings &settings, const ReleaseManifest &manifest)
{
    const UpdaterRelease release = manifest.updaters.value(updaterPlatform());
    if (!settings.selfUpdate || release.url.isEmpty()
        || (isDottedVersion(release.version)
            && compareVersions(release.version, settings.updaterVersion) <= 0)) {
        return;
    }
    qDebug().noquote() << "Updater" << release.version << "found; installing it beside"
                       << settings.updaterVersion;
    const UpdaterVersions versions = versionsOf(settings);
    QLockFile lock(versions.lockPath());
    const QString why = !isDottedVersion(release.version)
            ? QStringLiteral("its version is not dotted numbers")
            : !lock.tryLock(0) ? QStringLiteral("another updater is installing one now")
                               : install(settings, release, versions);
    if (why.isEmpty())
        qDebug().noquote() << "Updater" << release.version << "is now current";
    else
        qDebug().noquote() << "Updater" << release.version << "not installed:" << why;
}
