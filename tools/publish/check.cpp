#include "check.h"

#include "deltaplan.h"
#include "download.h"
#include "packagelayout.h"
#include "patchfile.h"
#include "preflight.h"
#include "proxies.h"
#include "releasemanifest.h"
#include "settings.h"
#include "updaterversions.h"
#include "verification.h"

#include <QBuffer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <quazip.h>

#include <algorithm>
#include <cstdio>

namespace {

struct Fetched
{
    bool ok = false;
    QString error;
    QByteArray body;
    QString digest;
    QByteArray blake2b;
    QUrl url; // after any redirect
    QString proxy; // the last request's, or nothing
    QByteArray validator; // the ETag or Last-Modified that names this version
    qint64 milliseconds = 0;
};

// One transfer, as the updater makes it, to its end.
Fetched fetch(QNetworkAccessManager &manager, const QUrl &url, const Settings &settings,
              qint64 limit, qint64 size, bool blake2b)
{
    QElapsedTimer timer;
    timer.start();
    Download download(&manager, url, settings, limit, size, blake2b);
    QEventLoop loop;
    QObject::connect(&download, &Download::finished, &loop, &QEventLoop::quit);
    loop.exec();
    Fetched result;
    result.ok = !download.failed();
    result.error = download.errorString();
    result.url = download.reply()->url();
    result.proxy = download.proxy();
    result.validator = download.validator();
    if (result.ok) {
        result.body = download.takeBody();
        result.digest = download.digest();
        result.blake2b = download.blake2bDigest();
    }
    result.milliseconds = timer.elapsed();
    return result;
}

void report(const char *check, const QString &text, const char *verdict = "ok")
{
    std::printf("%-5s %-10s %s\n", verdict, check, qPrintable(text));
    // Each line as soon as it is known, whatever happens later.
    std::fflush(stdout);
}

int refuse(const char *check, const QString &text)
{
    std::printf("FAIL  %-10s %s\nAn updater built with these settings refuses this release.\n",
                check, qPrintable(text));
    std::fflush(stdout);
    return 1;
}

QString transferred(const Fetched &fetched)
{
    return QStringLiteral("%1 bytes in %2 ms from %3, %4")
            .arg(fetched.body.size())
            .arg(fetched.milliseconds)
            .arg(fetched.url.toString(),
                 fetched.proxy.isEmpty() ? QStringLiteral("no proxy")
                                         : QStringLiteral("through the proxy ") + fetched.proxy);
}

// What the vendor signed with the package, a line a field; a warning when less than a
// quarter of the time between signing and the end date is left.
void reportSigned(const SignedRelease &release)
{
    report("signature", QStringLiteral("made with the key %1").arg(release.keyId));
    if (release.timestamp >= 0) {
        report("signed",
               QStringLiteral("timestamp:%1 (%2)")
                       .arg(release.timestamp)
                       .arg(utcText(release.timestamp)));
    }
    report("signed", QStringLiteral("file:%1").arg(release.file));
    if (!release.version.isEmpty())
        report("signed", QStringLiteral("version:%1").arg(release.version));
    if (!release.revokes.isEmpty())
        report("signed", QStringLiteral("revokes:%1").arg(release.revokes.join(QLatin1Char(','))));
    if (release.expires < 0)
        return;
    const qint64 left = release.expires - QDateTime::currentSecsSinceEpoch();
    const bool late = left * 4 < release.expires - release.timestamp;
    report("signed",
           QStringLiteral("expires:%1 (%2)%3")
                   .arg(release.expires)
                   .arg(utcText(release.expires),
                        late ? QStringLiteral(": less than a quarter of the signed period is "
                                              "left; sign it anew (--resign)")
                             : QString()),
           late ? "--" : "ok");
}

// What the updater's verification said, one line per check, and every entry inflated.
int reportVerification(const Verification &verification, const Settings &settings,
                       QByteArray &package, const QString &digest)
{
    switch (verification.failed) {
    case Verification::Size:
        return refuse("size", verification.reason);
    case Verification::Digest:
        return refuse("sha256", verification.reason);
    case Verification::Signature:
        report("sha256", digest);
        return refuse("signature", verification.reason);
    default:
        report("sha256", digest);
        if (settings.signingKeys.isEmpty())
            report("signature", QStringLiteral("not checked: this build takes unsigned packages"),
                   "--");
        else
            reportSigned(verification.signedRelease);
    }
    if (verification.failed != Verification::Passed)
        return refuse("archive", verification.reason);
    QBuffer buffer(&package);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    const QStringList damaged = zip.open(QuaZip::mdUnzip, nullptr)
            ? damagedEntries(zip, verification.plan)
            : QStringList();
    if (!damaged.isEmpty()) {
        return refuse("archive",
                      QStringLiteral("damaged, the updater would leave out: %1")
                              .arg(damaged.join(QStringLiteral(", "))));
    }
    QStringList skipped;
    for (const PlannedEntry &entry : std::as_const(verification.plan.entries)) {
        if (entry.name.isEmpty())
            skipped.append(entry.archiveName);
    }
    if (!skipped.isEmpty()) {
        return refuse("archive",
                      QStringLiteral("the updater would skip: %1")
                              .arg(skipped.join(QStringLiteral(", "))));
    }
    report("archive",
           QStringLiteral("%1 entries (0 skipped), %2 MiB unpacked, every entry unpacks whole")
                   .arg(verification.plan.entries.size())
                   .arg(verification.plan.bytesNeeded / 1048576));
    return 0;
}

// Whether the server answers a single range of the package as delta updates and resumed
// downloads ask for it: with If-Range and the version that its first answer named, 206
// with that range.
void reportRanges(QNetworkAccessManager &manager, const Settings &settings,
                  const ReleaseManifest &manifest, const Fetched &package)
{
    const QString fallBack = QStringLiteral(": delta updates and resumed downloads fall back to "
                                            "whole downloads");
    if (package.validator.isEmpty()) {
        report("ranges",
               QStringLiteral("the package's answer has no ETag or Last-Modified") + fallBack,
               "--");
        return;
    }
    const qint64 size = package.body.size();
    Download part(&manager, QUrl(manifest.url, QUrl::TolerantMode), settings,
                  {qMax<qint64>(0, size - 1024), size - 1, size, package.validator});
    QEventLoop loop;
    QObject::connect(&part, &Download::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const QString validator = QString::fromLatin1(package.validator);
    if (part.failed()) {
        report("ranges",
               QStringLiteral("%1, with If-Range %2").arg(part.errorString(), validator) + fallBack,
               "--");
    } else {
        report("ranges", QStringLiteral("206 with If-Range %1").arg(validator));
    }
}

// What an updater package holds that a self-updating updater would not take or that an
// older one would take wrongly: no program at its root, or an installation's stamps.
static QString checkUpdaterPackage(QByteArray &body, const QString &platform)
{
    QBuffer buffer(&body);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    const QString program = platform.startsWith(QLatin1String("windows"))
            ? QStringLiteral("PellarinUpdater.exe")
            : QStringLiteral("PellarinUpdater");
    if (!(zip.open(QuaZip::mdUnzip) && zip.setCurrentFile(program, QuaZip::csSensitive)))
        return QStringLiteral("the package holds no %1 at its root").arg(program);
    QStringList stamps = zip.getFileNameList();
    stamps.removeIf([](const QString &name) { return !isInstallationStamp(name); });
    if (!stamps.isEmpty())
        return QStringLiteral("the package holds %1, which only an installation may make; "
                              "updaters built before this tool take it as their own")
                .arg(stamps.join(QStringLiteral(", ")));
    return QString();
}

// One updater release, fetched and checked as the application's package is.
static QString checkUpdater(QNetworkAccessManager &manager, const Settings &settings,
                            const QString &platform, const UpdaterRelease &release,
                            SignedRelease *signedRelease, Fetched *fetched)
{
    if (!isDottedVersion(release.version))
        return QStringLiteral("its version is not dotted numbers of at most 9 digits each");
    *fetched = fetch(manager, QUrl(release.url, QUrl::TolerantMode), settings,
                     settings.maxPackageSize, release.size, !settings.signingKeys.isEmpty());
    if (!fetched->ok)
        return fetched->error;
    if (fetched->digest != release.hash)
        return QStringLiteral("sha256 %1, the manifest says \"%2\"").arg(fetched->digest, release.hash);
    if (!settings.signingKeys.isEmpty()) {
        ReleaseManifest manifest;
        manifest.version = release.version;
        manifest.url = release.url;
        manifest.hash = release.hash;
        manifest.size = release.size;
        manifest.signature = release.signature;
        const QString refusal = checkSigned(
                fetched->blake2b, manifest,
                {settings.signingKeys, {}, QDateTime::currentSecsSinceEpoch()}, signedRelease);
        if (!refusal.isEmpty())
            return refusal;
        if (signedRelease->version.isEmpty())
            return QStringLiteral("its signature names no version");
    }
    return checkUpdaterPackage(fetched->body, platform);
}

// Each updater release the manifest lists, fetched and checked as the application's
// package is: its version, size, digest and signature, and the updater's program in it.
// Returns 1 at the first that a self-updating updater would refuse.
int checkUpdaters(QNetworkAccessManager &manager, const Settings &settings,
                  const ReleaseManifest &manifest)
{
    for (auto it = manifest.updaters.cbegin(); it != manifest.updaters.cend(); ++it) {
        const QString what = QStringLiteral("%1 %2").arg(it.key(), it->version);
        SignedRelease signedRelease;
        Fetched fetched;
        const QString problem = checkUpdater(manager, settings, it.key(), *it, &signedRelease,
                                             &fetched);
        if (!problem.isEmpty())
            return refuse("updater", QStringLiteral("%1: %2").arg(what, problem));
        report("updater",
               QStringLiteral("%1: %2, sha256 ok, %3")
                       .arg(what, transferred(fetched),
                            settings.signingKeys.isEmpty()
                                    ? QStringLiteral("signature not checked")
                                    : QStringLiteral("signed with the key %1")
                                              .arg(signedRelease.keyId)));
    }
    return 0;
}

// The package rebuilt from `earlier` as the updater would rebuild it: the plan, the
// patched entries, and the ranges left taken from the package itself. Why it does not come
// out as the package, or nothing.
QString rebuildFrom(const QByteArray &earlier, const Fetched &package, const QByteArray &patch,
                    const Settings &settings, int *patched, qint64 *ranged)
{
    PatchSource patches{{}, patch, settings.patchLimit};
    ZipDirectory directory;
    DeltaPlan plan;
    QString why = readPatchFile(patch, &patches.entries);
    if (why.isEmpty())
        why = readZipDirectory(package.body, package.body.size(), &directory);
    if (why.isEmpty())
        why = planDelta(earlier, directory, package.body.size(), 64 * 1024, &plan, patches.entries);
    QByteArray rebuilt;
    QBuffer out(&rebuilt);
    out.open(QIODevice::ReadWrite);
    if (why.isEmpty())
        why = layOutPackage(earlier, package.body.right(directory.tailSize), package.body.size(),
                            patches, 64 * 1024, &plan, &out, QString(), patched);
    for (const auto &[first, last] : std::as_const(plan.ranges))
        rebuilt.replace(first, last - first + 1, package.body.mid(first, last - first + 1));
    *ranged = plan.bytesToFetch();
    if (why.isEmpty() && rebuilt != package.body)
        why = QStringLiteral("the rebuilt package is not the package");
    return why;
}

// The patch files the manifest lists; with `earlierPackages`, the package rebuilt from each
// and its patch file. Returns 1 at the first that does not rebuild the package.
int checkPatches(QNetworkAccessManager &manager, const Settings &settings,
                 const ReleaseManifest &manifest, const Fetched &package,
                 const QStringList &earlierPackages)
{
    for (const PatchFile &patch : manifest.patches)
        report("patches",
               QStringLiteral("%1 from %2, %3 bytes").arg(patch.url, patch.from).arg(patch.size));
    if (manifest.patches.isEmpty())
        report("patches", QStringLiteral("none listed"), "--");
    for (const QString &url : earlierPackages) {
        const Fetched earlier = fetch(manager, QUrl(url, QUrl::TolerantMode), settings,
                                      settings.maxPackageSize, -1, false);
        if (!earlier.ok)
            return refuse("patches", QStringLiteral("%1: %2").arg(url, earlier.error));
        const auto listed = std::find_if(
                manifest.patches.cbegin(), manifest.patches.cend(),
                [&](const PatchFile &p) { return p.from == earlier.digest; });
        if (listed == manifest.patches.cend())
            return refuse("patches", QStringLiteral("%1: no patch file from it is listed").arg(url));
        const Fetched patch = fetch(manager, QUrl(listed->url, QUrl::TolerantMode), settings,
                                    settings.maxPackageSize, listed->size, false);
        QString why = patch.ok ? QString() : patch.error;
        if (why.isEmpty() && patch.digest != listed->hash)
            why = QStringLiteral("the patch file's sha256 is %1, the manifest says \"%2\"")
                          .arg(patch.digest, listed->hash);
        int patched = 0;
        qint64 ranged = 0;
        if (why.isEmpty())
            why = rebuildFrom(earlier.body, package, patch.body, settings, &patched, &ranged);
        if (!why.isEmpty())
            return refuse("patches", QStringLiteral("%1: %2").arg(url, why));
        report("patches",
               QStringLiteral("%1: rebuilt, %2 entries patched, %3 bytes by range")
                       .arg(url)
                       .arg(patched)
                       .arg(ranged));
    }
    return 0;
}

} // namespace

int checkRelease(const Settings &settings, const QStringList &earlierPackages)
{
    QNetworkAccessManager manager;
    useSystemProxies(&manager);
    const QUrl location(settings.manifestLocation, QUrl::TolerantMode);
    if (location.scheme() != QLatin1String("https"))
        return refuse("manifest",
                      QStringLiteral("%1: only https is accepted").arg(location.toString()));
    const Fetched latest = fetch(manager, location, settings, settings.maxManifestSize, -1, false);
    if (!latest.ok)
        return refuse("manifest", latest.error);
    report("manifest", transferred(latest));
    ReleaseManifest manifest;
    const QString unusable = parseManifest(latest.body, &manifest);
    if (!unusable.isEmpty())
        return refuse("contents", unusable);
    report("contents",
           QStringLiteral("version \"%1\", package %2, %3")
                   .arg(manifest.version, manifest.url,
                        manifest.size < 0 ? QStringLiteral("no size")
                                          : QStringLiteral("size %1").arg(manifest.size)));

    Fetched package = fetch(manager, QUrl(manifest.url, QUrl::TolerantMode), settings,
                            settings.maxPackageSize, manifest.size,
                            !settings.signingKeys.isEmpty());
    if (!package.ok)
        return refuse("package", package.error);
    report("package", transferred(package));
    reportRanges(manager, settings, manifest, package);
    const Verification verification = verifyPackage(
            package.body, package.digest, package.blake2b, manifest,
            {settings.signingKeys, {}, QDateTime::currentSecsSinceEpoch()}, 4096);
    if (reportVerification(verification, settings, package.body, package.digest) != 0
        || checkUpdaters(manager, settings, manifest) != 0
        || checkPatches(manager, settings, manifest, package, earlierPackages) != 0)
        return 1;
    std::printf("An updater built with these settings installs this release.\n");
    return 0;
}
