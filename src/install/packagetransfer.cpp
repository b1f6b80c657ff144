#include "packagetransfer.h"

#include "digest.h"
#include "download.h"
#include "mappingguard.h"
#include "packagelayout.h"
#include "patience.h"
#include "rangefetch.h"
#include "record.h"
#include "regularfile.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

// Enough for the directory of a release of some hundred files; a longer one takes a
// second request, and there is no third.
static constexpr qint64 tailGuess = 64 * 1024;
static constexpr int maxTails = 2;
static constexpr qint64 maxTail = 64 * 1024 * 1024;
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
      target(target),
      patience(new Patience(this, settings.transferTimeout, settings.lowSpeedLimit,
                            settings.lowSpeedTime,
                            [this](const QString &reason) { giveUp(reason); })),
      size(manifest.size)
{
    if (settings.deltaUpdates) {
        PartialDownload kept;
        resumedAt = target->resume({manifest.hash, manifest.size, manifest.url, {}}, &kept);
        validator = kept.validator;
        if (resumedAt)
            size = kept.size;
    }
    if (settings.deltaUpdates && !resumedAt && QFile::exists(installedPackagePath(appPath)))
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
    const bool signature = !settings.signingKeys.isEmpty();
    download = resumedAt
            ? new Download(manager, url, settings, {resumedAt, size - 1, size, validator},
                           target->file(), patience)
            : new Download(manager, url, settings, settings.maxPackageSize, manifest.size,
                           signature, target->file(), patience);
    connect(download, &Download::progress, this,
            [this](qint64 received) { emit progress(resumedAt + received); });
    if (settings.deltaUpdates)
        connect(download, &Download::answered, this, &PackageTransfer::keepPartial);
    connect(download, &Download::finished, this, &PackageTransfer::wholeFinished);
}

// Written before the body's first byte: whatever ends this run, the next one knows what
// the bytes on disk are.
void PackageTransfer::keepPartial()
{
    if (!resumedAt) {
        // The manifest's size, or the answer's when it names none.
        size = manifest.size > 0 ? manifest.size : download->total();
        validator = download->validator();
    }
    if (size > 0 && !validator.isEmpty())
        target->keepPartial({manifest.hash, size, manifest.url, validator});
}

void PackageTransfer::wholeFinished()
{
    fetched += download->bytesReceived();
    download->deleteLater();
    if (!timedOut.isEmpty()) {
        end(timedOut);
    } else if (download->failed() && resumedAt && download->rangeRefused()) {
        // Any other answer to a resumed download starts from the beginning.
        qDebug() << "Resume not possible, downloading the whole package:"
                 << download->errorString();
        resumedAt = 0;
        startWhole();
    } else if (download->failed()) {
        end(download->errorString());
    } else if (resumedAt) {
        complete();
    } else {
        target->forgetPartial();
        sha256 = download->digest();
        blake2b = download->blake2bDigest();
        end(QString());
    }
}

void PackageTransfer::startDelta()
{
    triedDelta = true;
    startTail(size > 0 ? qMin(size, tailGuess) : tailGuess);
}

// The package's last `length` bytes, which hold its directory; of a package of unknown
// length, the answer says it.
void PackageTransfer::startTail(qint64 length)
{
    ++tails;
    const ByteRange tail = size > 0 ? ByteRange{size - length, size - 1, size, validator}
                                    : ByteRange{0, length - 1, -1, {}};
    download = new Download(manager, url, settings, tail, nullptr, patience);
    connect(download, &Download::finished, this, &PackageTransfer::tailFinished);
}

void PackageTransfer::tailFinished()
{
    fetched += download->bytesReceived();
    download->deleteLater();
    if (!timedOut.isEmpty()) {
        end(timedOut);
        return;
    }
    if (download->failed()) {
        fallBack(download->errorString());
        return;
    }
    size = download->total();
    validator = download->validator();
    tail = download->takeBody();
    qint64 needed = 0;
    QString why = readZipDirectory(tail, size, &directory, &needed);
    if (size > settings.maxPackageSize) {
        why = QStringLiteral("the package's %1 bytes are over the limit").arg(size);
    } else if (needed > tail.size() && needed <= size && needed <= maxTail && tails < maxTails) {
        // A directory longer than the guess: once more, with its length.
        startTail(needed);
        return;
    } else if (validator.isEmpty()) {
        why = QStringLiteral("the server names no version of the package (ETag or Last-Modified)");
    }
    if (!why.isEmpty()) {
        fallBack(why);
        return;
    }
    // A patch file from the package that the installed release came from.
    const QString installed = recordedRelease(appPath);
    for (const PatchFile &patch : manifest.patches) {
        if (installed.isEmpty() || patch.from != installed)
            continue;
        if (patch.size < size) {
            startPatch(patch);
            return;
        }
        qDebug().noquote() << "Patch file not used: it is not smaller than the package";
    }
    planRanges();
}

void PackageTransfer::startPatch(const PatchFile &patch)
{
    patchFile.setFileName(appPath + QStringLiteral(".patch"));
    if (!clearOwnedName(patchFile.fileName()) || !openRegular(patchFile, QIODevice::ReadWrite)) {
        qDebug().noquote() << "Patch file not used: cannot write" << patchFile.fileName();
        planRanges();
        return;
    }
    download = new Download(manager, QUrl(patch.url, QUrl::TolerantMode), settings,
                            settings.maxPackageSize, patch.size, false, &patchFile, patience);
    connect(download, &Download::finished, this, [this, patch] { patchFinished(patch); });
}

void PackageTransfer::patchFinished(const PatchFile &patch)
{
    fetched += download->bytesReceived();
    download->deleteLater();
    if (!timedOut.isEmpty()) {
        end(timedOut);
        return;
    }
    QString why = download->failed() ? download->errorString() : QString();
    if (why.isEmpty() && download->digest() != patch.hash)
        why = QStringLiteral("its digest is %1, the manifest says %2")
                      .arg(download->digest(), patch.hash);
    patchMap = why.isEmpty() && patchFile.size() > 0 ? patchFile.map(0, patchFile.size()) : nullptr;
    if (why.isEmpty() && !patchMap)
        why = QStringLiteral("cannot read %1").arg(patchFile.fileName());
    if (why.isEmpty())
        why = readPatchFile(QByteArrayView(patchMap, patchFile.size()), &patches);
    if (!why.isEmpty()) {
        qDebug().noquote() << "Patch file not used:" << why;
        patches.clear();
    }
    planRanges();
}

// The plan, the new package laid out from what is in hand, then the ranges that are left.
void PackageTransfer::planRanges()
{
    DeltaPlan plan;
    const QString why = rebuild(&plan);
    patches.clear();
    // Windows removes no file that is mapped.
    if (patchMap)
        patchFile.unmap(patchMap);
    patchMap = nullptr;
    if (!patchFile.fileName().isEmpty())
        patchFile.remove();
    if (why.isEmpty())
        startRanges(plan);
    else
        fallBack(why);
}

void PackageTransfer::startRanges(const DeltaPlan &plan)
{
    // When so much changed that the ranges come to the whole package, it comes whole.
    if (fetched + plan.bytesToFetch() >= size) {
        fallBack(QStringLiteral("the changed entries are %1 of the package's %2 bytes")
                         .arg(plan.bytesToFetch())
                         .arg(size));
        return;
    }
    reused = plan.reused;
    ranges = new RangeFetch(manager, url, settings, plan.ranges, size, validator, target->file(),
                            patience);
    const qint64 before = fetched;
    connect(ranges, &RangeFetch::progress, this, [this, before](qint64 received) {
        emit progress(before + received);
        // Past the whole package's size, the delta costs more than it saves.
        if (before + received > size)
            ranges->abort(QStringLiteral("more bytes fetched than the package holds"));
    });
    connect(ranges, &RangeFetch::finished, this, &PackageTransfer::rangesFinished);
}

void PackageTransfer::rangesFinished()
{
    fetched += ranges->bytesReceived();
    ranges->deleteLater();
    if (!timedOut.isEmpty())
        end(timedOut);
    else if (ranges->failed())
        fallBack(ranges->errorString());
    else
        complete();
}

// Lays out the new package in the target: what is in hand (the directory, the rebuilt
// headers) and what App.package has; the rest is fetched into its place after.
QString PackageTransfer::rebuild(DeltaPlan *plan)
{
    QFile installed(installedPackagePath(appPath));
    if (!openRegular(installed, QIODevice::ReadOnly) || installed.size() == 0)
        return QStringLiteral("cannot read %1").arg(installed.fileName());
    const uchar *mapped = installed.map(0, installed.size());
    if (!mapped)
        return QStringLiteral("cannot read %1").arg(installed.fileName());
    // Cut short meanwhile, it reads as zeros, and the rebuilt package's digest says so.
    const MappingGuard guard(mapped, installed.size());
    const QByteArrayView old(mapped, installed.size());
    QString why = planDelta(old, directory, size, mergeGap, plan, patches);
    if (why.isEmpty() && !target->create(&why))
        return why;
    if (!why.isEmpty())
        return why;
    const QByteArrayView patchBytes(patchMap, patchMap ? patchFile.size() : 0);
    why = layOutPackage(old, tail, size, {patches, patchBytes, settings.patchLimit}, mergeGap, plan,
                        target->file(), target->path(), &patched);
    return why.isEmpty() ? why : QStringLiteral("cannot write %1: %2").arg(target->path(), why);
}

// The whole file's digests, for a package that did not arrive in one piece. A resumed
// download whose bytes on disk were damaged (a power cut, say) is downloaded whole at once.
void PackageTransfer::complete()
{
    sha256 = sha256Of(target->map(), settings.signingKeys.isEmpty() ? nullptr : &blake2b);
    if (sha256 != manifest.hash && (triedDelta || resumedAt)) {
        fallBack(triedDelta ? QStringLiteral("the rebuilt package's digest is %1").arg(sha256)
                            : QStringLiteral("the resumed package's digest is %1").arg(sha256));
        return;
    }
    target->forgetPartial();
    end(QString());
}

void PackageTransfer::fallBack(const QString &reason)
{
    reused = 0;
    patched = 0;
    qDebug() << (triedDelta ? "Delta update not possible, downloading the whole package:"
                            : "Resume not possible, downloading the whole package:")
             << reason;
    triedDelta = false;
    resumedAt = 0;
    size = manifest.size;
    validator.clear();
    startWhole();
}

// The transfer's time is up, whatever it was doing: nothing more is tried.
void PackageTransfer::giveUp(const QString &reason)
{
    timedOut = reason;
    if (download)
        download->abort(reason);
    if (ranges)
        ranges->abort(reason);
}

void PackageTransfer::end(const QString &failure)
{
    patience->stop();
    problem = failure;
    if (settings.deltaUpdates) {
        const int kept = failure.isEmpty() ? reused + patched : 0;
        qDebug().noquote() << QStringLiteral("Package transfer: %1 bytes fetched for a package of "
                                             "%2 bytes, %3 entries reused, %4 patched, %5 "
                                             "fetched by range")
                                      .arg(fetched)
                                      .arg(size)
                                      .arg(failure.isEmpty() ? reused : 0)
                                      .arg(failure.isEmpty() ? patched : 0)
                                      .arg(failure.isEmpty() && triedDelta
                                                   ? directory.records.size() - kept
                                                   : 0);
    }
    QMetaObject::invokeMethod(this, &PackageTransfer::finished, Qt::QueuedConnection);
}
