#include "qualification.h"

#include "download.h"
#include "installation.h"
#include "proxies.h"
#include "verification.h"
#include "versionfolder.h"

#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QStorageInfo>
#include <QTemporaryFile>

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

// Why the release that the manifest names would not be installed, or nothing.
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
    // The package goes to a temporary file of the system's, not beside App.
    QTemporaryFile file;
    if (why.isEmpty() && !file.open())
        why = QStringLiteral("cannot write a temporary file: %1").arg(file.errorString());
    if (!why.isEmpty())
        return why;
    Download package(&manager, QUrl(manifest.url, QUrl::TolerantMode), settings,
                     settings.maxPackageSize, manifest.size, !settings.signingKeys.isEmpty(),
                     &file);
    why = finished(package);
    const uchar *bytes = why.isEmpty() && file.size() > 0 ? file.map(0, file.size()) : nullptr;
    if (!why.isEmpty() || !bytes)
        return why.isEmpty() ? QStringLiteral("the package is empty") : why;
    const QString folder = installationFolder(settings);
    const Verification verification = verifyPackage(
            QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), file.size()),
            package.digest(), package.blake2bDigest(), manifest,
            {settings.signingKeys, readSignedState(installPath(folder)),
             QDateTime::currentSecsSinceEpoch()},
            QStorageInfo(folder).blockSize());
    return verification.failed == Verification::Passed ? QString() : verification.reason;
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
