#include "check.h"

#include "download.h"
#include "preflight.h"
#include "releasemanifest.h"
#include "settings.h"
#include "signature.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <quazip.h>

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
    return QStringLiteral("%1 bytes in %2 ms from %3")
            .arg(fetched.body.size())
            .arg(fetched.milliseconds)
            .arg(fetched.url.toString());
}

// The archive as the updater plans it, and every entry inflated.
int checkArchive(QByteArray &package)
{
    QBuffer buffer(&package);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    if (!zip.open(QuaZip::mdUnzip, nullptr))
        return refuse("archive", QStringLiteral("not a zip archive that can be opened"));
    InstallPlan plan;
    const QString refusal = planInstallation(zip, package, 4096, &plan);
    if (!refusal.isEmpty())
        return refuse("archive", refusal);
    const QStringList damaged = damagedEntries(zip, plan);
    if (!damaged.isEmpty()) {
        return refuse("archive",
                      QStringLiteral("damaged, the updater would leave out: %1")
                              .arg(damaged.join(QStringLiteral(", "))));
    }
    qsizetype skipped = 0;
    for (const PlannedEntry &entry : std::as_const(plan.entries))
        skipped += entry.name.isEmpty();
    report("archive",
           QStringLiteral("%1 entries (%2 skipped), %3 MiB unpacked, every entry unpacks whole")
                   .arg(plan.entries.size())
                   .arg(skipped)
                   .arg(plan.bytesNeeded / 1048576));
    return 0;
}

int checkSigned(const Settings &settings, const ReleaseManifest &manifest, const Fetched &package)
{
    const QString fileName = QUrl(manifest.url, QUrl::TolerantMode).fileName();
    if (settings.signingKey.isEmpty()) {
        report("signature", QStringLiteral("not checked: this build takes unsigned packages"), "--");
        return 0;
    }
    const QString refusal = checkSignature(settings.signingKey, manifest.signature, package.blake2b,
                                           fileName);
    if (!refusal.isEmpty())
        return refuse("signature", refusal);
    report("signature", QStringLiteral("made with the key, for file:%1").arg(fileName));
    return 0;
}

} // namespace

int checkRelease(const Settings &settings)
{
    QNetworkAccessManager manager;
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
                            settings.maxPackageSize, manifest.size, !settings.signingKey.isEmpty());
    if (!package.ok)
        return refuse("package", package.error);
    report("package", transferred(package));
    if (package.digest != manifest.hash)
        return refuse(
                "sha256",
                QStringLiteral("%1, the manifest says \"%2\"").arg(package.digest, manifest.hash));
    report("sha256", package.digest);
    if (checkSigned(settings, manifest, package) != 0 || checkArchive(package.body) != 0)
        return 1;
    std::printf("An updater built with these settings installs this release.\n");
    return 0;
}
