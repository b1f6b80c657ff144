#include "check.h"

#include "download.h"
#include "paths.h"
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

void report(const char *check, const QString &text)
{
    std::printf("ok    %-10s %s\n", check, qPrintable(text));
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

} // namespace

int checkRelease(const QString &manifestUrl, const QList<QSslCertificate> &authorities,
                 const QByteArray &signingKey)
{
    Settings settings;
    settings.manifestLocation = manifestUrl;
    settings.vendorAuthorities = authorities;
    settings.signingKey = signingKey;
    QNetworkAccessManager manager;

    const Fetched latest = fetch(manager, QUrl(manifestUrl, QUrl::TolerantMode), settings,
                                 settings.maxManifestSize, -1, false);
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

    const QUrl url(manifest.url, QUrl::TolerantMode);
    const bool signedBuild = !signingKey.isEmpty();
    Fetched package = fetch(manager, url, settings, settings.maxPackageSize, manifest.size,
                            signedBuild);
    if (!package.ok)
        return refuse("package", package.error);
    report("package", transferred(package));
    if (package.digest != manifest.hash)
        return refuse(
                "sha256",
                QStringLiteral("%1, the manifest says \"%2\"").arg(package.digest, manifest.hash));
    report("sha256", package.digest);
    if (signedBuild) {
        const QString refusal = checkSignature(signingKey, manifest.signature, package.blake2b,
                                               url.fileName());
        if (!refusal.isEmpty())
            return refuse("signature", refusal);
        report("signature", QStringLiteral("made with the key, for file:%1").arg(url.fileName()));
    } else {
        report("signature", QStringLiteral("not needed without --public-key"));
    }

    QBuffer buffer(&package.body);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    if (!zip.open(QuaZip::mdUnzip, nullptr))
        return refuse("archive", QStringLiteral("not a zip archive that can be opened"));
    InstallPlan plan;
    const QString refusal = planInstallation(zip, package.body, 4096, &plan);
    if (!refusal.isEmpty())
        return refuse("archive", refusal);
    qsizetype skipped = 0;
    for (const PlannedEntry &entry : std::as_const(plan.entries))
        skipped += entry.name.isEmpty() || !entry.readable;
    report("archive",
           QStringLiteral("%1 entries (%2 skipped), %3 MiB unpacked, %4 unpacks whole")
                   .arg(plan.entries.size())
                   .arg(skipped)
                   .arg(plan.bytesNeeded / 1048576)
                   .arg(QLatin1String(programPath)));
    std::printf("An updater built with these settings installs this release.\n");
    return 0;
}
