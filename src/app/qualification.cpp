#include "qualification.h"

#include "download.h"
#include "installation.h"
#include "proxies.h"
#include "record.h"
#include "verification.h"
#include "versionfolder.h"

#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <string>

bool qualifyRequested(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--qualify")
            return true;
    }
    return false;
}

// Waits for `download` to end; its error, or nothing.
static QString finished(Download &download)
{
    QEventLoop loop;
    QObject::connect(&download, &Download::finished, &loop, &QEventLoop::quit);
    loop.exec();
    return download.failed() ? download.errorString() : QString();
}

// The live release, when the installation holds it already: in signed builds its kept
// digest verifies against the manifest's signature under this version's keys and rules,
// else its record names the manifest's digest. Why it is refused, or nothing (`known`).
static QString checkInstalled(const Settings &settings, const ReleaseManifest &manifest,
                              bool *known)
{
    const QString app = installPath(installationFolder(settings));
    if (settings.signingKeys.isEmpty()) {
        *known = !manifest.hash.isEmpty() && recordedRelease(app) == manifest.hash;
        return QString();
    }
    const SigningPolicy signing{settings.signingKeys, readSignedState(app),
                                QDateTime::currentSecsSinceEpoch()};
    SignedRelease release;
    *known = !signing.installed.blake2b.isEmpty()
            && checkSigned(signing.installed.blake2b, manifest, signing, &release).isEmpty();
    // Another package: what its signature says, without it.
    return *known ? QString() : checkSignedComment(manifest, signing, &release);
}

// Whether the package can be had through the same path: its last bytes, which are the
// archive's directory's end, in one small request.
static QString checkReachable(QNetworkAccessManager &manager, const Settings &settings,
                              const ReleaseManifest &manifest)
{
    ByteRange tail;
    tail.first = 0;
    tail.last = 21;
    Download end(&manager, QUrl(manifest.url, QUrl::TolerantMode), settings, tail);
    const QString why = finished(end);
    // A server that answers every request with the whole file has it too; the answer is
    // left at its headers.
    const int status = end.reply()->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (end.rangeRefused() && status == 200)
        return QString();
    if (!why.isEmpty())
        return why;
    if (manifest.size >= 0 && end.total() != manifest.size)
        return QStringLiteral("the package has %1 bytes, the manifest says %2")
                .arg(end.total())
                .arg(manifest.size);
    return QString();
}

// Why the release that the manifest names would not be installed, or nothing; at the
// cost of the manifest and at most one small request of the package, whatever its size.
static QString refusal(const Settings &settings)
{
    QNetworkAccessManager manager;
    useSystemProxies(&manager);
    Download latest(&manager, QUrl(settings.manifestLocation, QUrl::TolerantMode), settings,
                    settings.maxManifestSize);
    QString why = finished(latest);
    ReleaseManifest manifest;
    if (why.isEmpty())
        why = parseManifest(latest.takeBody(), &manifest);
    bool known = false;
    if (why.isEmpty())
        why = checkInstalled(settings, manifest, &known);
    return why.isEmpty() && !known ? checkReachable(manager, settings, manifest) : why;
}

int qualify(const Settings &settings)
{
    const QString why = refusal(settings);
    if (!why.isEmpty()) {
        qDebug() << "Qualification failed:" << why;
        return 1;
    }
    qDebug() << "Qualified: this version would install the live release";
    return 0;
}
