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
      size(manifest.size),
      tailPart(appPath, QStringLiteral(".tail"))
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

PackageTransfer::~PackageTransfer()
{
    if (rebuilding.joinable())
        rebuilding.join();
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
    if (endedByTime()) {
        return;
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
    tail = manifest.size > 0
            ? tailPart.keptWhole({manifest.hash, manifest.size, manifest.url, {}}, &validator)
            : QByteArray();
    if (tail.isEmpty())
        startTail(size > 0 ? qMin(size, tailGuess) : tailGuess);
    else
        readTail();
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
    if (endedByTime())
        return;
    if (download->failed()) {
        fallBack(download->errorString());
        return;
    }
    size = download->total();
    validator = download->validator();
    tail = download->takeBody();
    readTail();
}

// The package's directory from its last bytes, then the patch file or the plan.
void PackageTransfer::readTail()
{
    // A package no longer than the guess came whole: it is not asked for again.
    QString created;
    if (tail.size() == size && target->create(&created)) {
        target->file()->write(tail);
        target->file()->flush();
        complete();
        return;
    }
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
    if (manifest.size > 0)
        tailPart.keepWhole(tail, {manifest.hash, size, manifest.url, validator});
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
    patchPart = std::make_unique<PackageFile>(appPath, QStringLiteral(".patch"));
    PartialDownload kept;
    const qint64 resumed = patchPart->resume({patch.hash, patch.size, patch.url, {}}, &kept);
    QString why;
    if (!resumed && !patchPart->create(&why)) {
        qDebug().noquote() << "Patch file not used:" << why;
        planRanges();
        return;
    }
    const QUrl patchUrl(patch.url, QUrl::TolerantMode);
    download = resumed ? new Download(manager, patchUrl, settings,
                                      {resumed, patch.size - 1, patch.size, kept.validator},
                                      patchPart->file(), patience)
                       : new Download(manager, patchUrl, settings, settings.maxPackageSize,
                                      patch.size, false, patchPart->file(), patience);
    // Described before its first byte, so that a stop at any moment leaves it resumable.
    connect(download, &Download::answered, this, [this, patch, kept] {
        const QByteArray named = kept.validator.isEmpty() ? download->validator() : kept.validator;
        if (!named.isEmpty())
            patchPart->keepPartial({patch.hash, patch.size, patch.url, named});
    });
    connect(download, &Download::finished, this, [this, patch] { patchFinished(patch); });
}

void PackageTransfer::patchFinished(const PatchFile &patch)
{
    fetched += download->bytesReceived();
    download->deleteLater();
    if (endedByTime())
        return;
    QString why = download->failed() ? download->errorString() : QString();
    // Resumed or not, the whole file is what the manifest names.
    patchBytes = why.isEmpty() ? patchPart->map() : QByteArray();
    if (why.isEmpty() && patchBytes.isEmpty())
        why = QStringLiteral("cannot read %1").arg(patchPart->path());
    const QString digest = why.isEmpty() ? sha256Of(patchBytes) : QString();
    if (why.isEmpty() && digest != patch.hash)
        why = QStringLiteral("its digest is %1, the manifest says %2").arg(digest, patch.hash);
    if (why.isEmpty())
        why = readPatchFile(patchBytes, &patches);
    if (!why.isEmpty()) {
        qDebug().noquote() << "Patch file not used:" << why;
        patches.clear();
    }
    planRanges();
}

// The plan, the new package laid out from what is in hand, on a thread of its own while
// the patience waits; then the ranges that are left.
void PackageTransfer::planRanges()
{
    patience->stop();
    rebuilding = std::thread([this] {
        rebuildProblem = rebuild(&plan);
        QMetaObject::invokeMethod(this, &PackageTransfer::rebuilt, Qt::QueuedConnection);
    });
}

void PackageTransfer::rebuilt()
{
    rebuilding.join();
    patience->restart();
    patches.clear();
    // Of no more use, whatever became of it; Windows removes no file that is mapped.
    patchBytes.clear();
    if (patchPart) {
        patchPart->forgetPartial();
        patchPart->release();
        patchPart.reset();
    }
    if (rebuildProblem.isEmpty())
        startRanges(plan);
    else
        fallBack(rebuildProblem);
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
    if (endedByTime())
        return;
    if (ranges->failed())
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
    tailPart.forgetPartial();
    tailPart.release();
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

// After the patience gave up: on the delta's way, once the server has answered it, the
// whole download is tried with patience anew, as after any other problem there; a server
// that answered nothing gets no second wait, and the transfer ends. True when it did
// either.
bool PackageTransfer::endedByTime()
{
    if (timedOut.isEmpty())
        return false;
    const QString reason = timedOut;
    timedOut.clear();
    if (triedDelta && fetched > 0) {
        patience->restart();
        fallBack(reason);
    } else {
        end(reason);
    }
    return true;
}

// The transfer's time is up, whatever it was doing: the request under way ends.
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
    tailPart.forgetPartial();
    tailPart.release();
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
