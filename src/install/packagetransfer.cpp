#include "packagetransfer.h"

#include "digest.h"
#include "download.h"
#include "rangefetch.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

// Enough for the directory of a release of some hundred files; a longer one takes a
// second request.
static constexpr qint64 tailGuess = 64 * 1024;
// Ranges closer than this are fetched as one.
static constexpr qint64 mergeGap = 64 * 1024;

PackageTransfer::PackageTransfer(QNetworkAccessManager *manager, const Settings &settings,
                                 const ReleaseManifest &manifest, const QString &appPath,
                                 PackageFile *target)
    : QObject(manager),
      manager(manager),
      settings(settings),
      manifest(manifest),
      url(manifest.url, QUrl::TolerantMode),
      appPath(appPath),
      target(target)
{
    const bool delta = settings.deltaUpdates && manifest.size > 0;
    if (delta)
        resumedAt = target->resume({manifest.hash, manifest.size, manifest.url, {}}, &validator);
    if (delta && !resumedAt && QFile::exists(installedPackagePath(appPath)))
        startDelta();
    else
        startWhole();
}

QNetworkReply *PackageTransfer::reply() const
{
    return download ? download->reply() : nullptr;
}

void PackageTransfer::startWhole()
{
    QString why;
    if (!resumedAt && !target->create(&why)) {
        end(why);
        return;
    }
    const bool signature = !settings.signingKey.isEmpty();
    download = resumedAt
            ? new Download(manager, url, settings,
                           {resumedAt, manifest.size - 1, manifest.size, validator}, target->file())
            : new Download(manager, url, settings, settings.maxPackageSize, manifest.size,
                           signature, target->file());
    connect(download, &Download::progress, this,
            [this](qint64 received) { emit progress(resumedAt + received); });
    connect(download, &Download::finished, this, &PackageTransfer::wholeFinished);
}

void PackageTransfer::wholeFinished()
{
    fetched += download->bytesReceived();
    download->deleteLater();
    if (download->failed()) {
        // Any other answer to a resumed download starts from the beginning.
        if (resumedAt && download->rangeRefused()) {
            qDebug() << "Resume not possible, downloading the whole package:"
                     << download->errorString();
            resumedAt = 0;
            startWhole();
            return;
        }
        if (settings.deltaUpdates && manifest.size > 0) {
            target->keepPartial({manifest.hash, manifest.size, manifest.url,
                                 resumedAt ? validator : download->validator()});
        }
        end(download->errorString());
        return;
    }
    if (resumedAt) {
        complete();
        return;
    }
    sha256 = download->digest();
    blake2b = download->blake2bDigest();
    end(QString());
}

void PackageTransfer::startDelta()
{
    triedDelta = true;
    const qint64 length = qMin(manifest.size, tailGuess);
    download = new Download(manager, url, settings,
                            {manifest.size - length, manifest.size - 1, manifest.size, {}});
    connect(download, &Download::finished, this, &PackageTransfer::tailFinished);
}

void PackageTransfer::tailFinished()
{
    fetched += download->bytesReceived();
    download->deleteLater();
    if (download->failed()) {
        fallBack(download->errorString());
        return;
    }
    validator = download->validator();
    const QByteArray tail = download->takeBody();
    ZipDirectory directory;
    qint64 needed = 0;
    QString why = readZipDirectory(tail, manifest.size, &directory, &needed);
    if (needed > tail.size() && needed <= manifest.size && needed <= 64 * 1024 * 1024) {
        // A directory longer than the guess: once more, with its length.
        download = new Download(
                manager, url, settings,
                {manifest.size - needed, manifest.size - 1, manifest.size, validator});
        connect(download, &Download::finished, this, &PackageTransfer::tailFinished);
        return;
    }
    if (validator.isEmpty())
        why = QStringLiteral("the server names no version of the package (ETag or Last-Modified)");
    DeltaPlan plan;
    if (why.isEmpty())
        why = rebuild(tail, directory, &plan);
    if (!why.isEmpty()) {
        fallBack(why);
        return;
    }
    reused = plan.reused;
    auto *ranges = new RangeFetch(manager, url, settings, plan.ranges, manifest.size, validator,
                                  target->file());
    const qint64 before = fetched;
    connect(ranges, &RangeFetch::progress, this,
            [this, before](qint64 received) { emit progress(before + received); });
    connect(ranges, &RangeFetch::finished, this, [this, ranges] {
        fetched += ranges->bytesReceived();
        ranges->deleteLater();
        if (ranges->failed())
            fallBack(ranges->errorString());
        else
            complete();
    });
}

// Lays out the new package in the target: what is in hand (the directory, the rebuilt
// headers) and what App.package has; the rest is fetched into its place after.
QString PackageTransfer::rebuild(const QByteArray &tail, const ZipDirectory &directory,
                                 DeltaPlan *plan)
{
    QFile installed(installedPackagePath(appPath));
    if (!installed.open(QIODevice::ReadOnly) || installed.size() == 0)
        return QStringLiteral("cannot read %1").arg(installed.fileName());
    const uchar *mapped = installed.map(0, installed.size());
    if (!mapped)
        return QStringLiteral("cannot read %1").arg(installed.fileName());
    const QByteArrayView old(mapped, installed.size());
    QString why = planDelta(old, directory, manifest.size, mergeGap, plan);
    QFileDevice *file = target->file();
    if (why.isEmpty() && !target->create(&why))
        return why;
    bool written = why.isEmpty() && file->resize(manifest.size)
            && file->seek(manifest.size - tail.size()) && file->write(tail) == tail.size();
    for (const auto &[at, header] : std::as_const(plan->headers))
        written = written && file->seek(at) && file->write(header) == header.size();
    for (const DeltaPlan::Copy &copy : std::as_const(plan->copies)) {
        written = written && file->seek(copy.at)
                && file->write(old.sliced(copy.from, copy.length).data(), copy.length)
                        == copy.length;
    }
    if (why.isEmpty() && !written)
        why = QStringLiteral("cannot write %1: %2").arg(target->path(), file->errorString());
    return why;
}

// The whole file's digests, for a package that did not arrive in one piece.
void PackageTransfer::complete()
{
    sha256 = sha256Of(target->map(), settings.signingKey.isEmpty() ? nullptr : &blake2b);
    if (triedDelta && sha256 != manifest.hash) {
        fallBack(QStringLiteral("the rebuilt package's digest is %1").arg(sha256));
        return;
    }
    end(QString());
}

void PackageTransfer::fallBack(const QString &reason)
{
    reused = 0;
    qDebug() << "Delta update not possible, downloading the whole package:" << reason;
    triedDelta = false;
    resumedAt = 0;
    startWhole();
}

void PackageTransfer::end(const QString &failure)
{
    problem = failure;
    if (settings.deltaUpdates) {
        qDebug().noquote() << QStringLiteral("Package transfer: %1 bytes fetched for a package of "
                                             "%2 bytes, %3 entries reused")
                                      .arg(fetched)
                                      .arg(manifest.size)
                                      .arg(failure.isEmpty() ? reused : 0);
    }
    QMetaObject::invokeMethod(this, &PackageTransfer::finished, Qt::QueuedConnection);
}
