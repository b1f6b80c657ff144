#pragma once

#include "deltaplan.h"
#include "packagefile.h"
#include "patchfile.h"
#include "releasemanifest.h"
#include "settings.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>
#include <thread>

class Download;
class Patience;
class QNetworkAccessManager;
class QNetworkReply;
class RangeFetch;

// Brings the manifest's package into `target`, beside App. As it comes, one download of
// the whole. With UPDATER_DELTA_UPDATES: a download that broke off for this very package
// is resumed; otherwise the package is rebuilt from the installed one (App.package) and
// the ranges of the new one that changed (see deltaplan.h), and any problem on that way
// falls back, once, to the whole download. When the manifest lists a patch file from the
// installed package, entries that changed are rebuilt from it where it gives exactly
// their bytes (see patching.h), and fetched where it does not; a patch file that cannot
// be had or read costs one log line. The package's length comes from the manifest
// or, when it gives none, from the server's first answer. Either way the result is the
// whole file with its digests, for the same checks as a downloaded package. Every request
// of the transfer counts against one patience (see patience.h).
class PackageTransfer : public QObject
{
    Q_OBJECT

public:
    // Starts at once, as a child of `manager`.
    PackageTransfer(QNetworkAccessManager *manager, const Settings &settings,
                    const ReleaseManifest &manifest, const QString &appPath, PackageFile *target);
    ~PackageTransfer() override;

    bool failed() const { return !problem.isEmpty(); }
    QString errorString() const { return problem; }
    // The package's lower-case hex SHA-256 and BLAKE2b-512, once it is complete.
    QString digest() const { return sha256; }
    QByteArray blake2bDigest() const { return blake2b; }
    // The last request's reply.
    QNetworkReply *reply() const;

signals:
    void progress(qint64 received);
    void finished();

private:
    void startWhole();
    void keepPartial();
    void wholeFinished();
    void startDelta();
    void startTail(qint64 length);
    void tailFinished();
    void readTail();
    void startPatch(const PatchFile &patch);
    void patchFinished(const PatchFile &patch);
    void planRanges();
    void rebuilt();
    void startRanges(const DeltaPlan &plan);
    void rangesFinished();
    QString rebuild(DeltaPlan *plan);
    void fallBack(const QString &reason);
    bool endedByTime();
    void complete();
    void giveUp(const QString &reason);
    void end(const QString &failure);

    QNetworkAccessManager *manager;
    const Settings settings;
    const ReleaseManifest manifest;
    const QUrl url;
    const QString appPath;
    PackageFile *target;
    Patience *patience;
    QPointer<Download> download;
    QPointer<RangeFetch> ranges;
    // The package's length: the manifest's, or learned from the first answer; -1 before.
    qint64 size;
    // Where the whole download starts: after the bytes of a broken one, or at 0.
    qint64 resumedAt = 0;
    bool triedDelta = false;
    int tails = 0;
    QByteArray validator;
    // Body bytes over every request so far, and the entries taken from App.package.
    qint64 fetched = 0;
    int reused = 0;
    // The new package's last bytes and its directory, while a patch file comes; kept
    // beside App (App.tail) until the transfer ends, so that a start after a stop asks
    // for them no more.
    QByteArray tail;
    ZipDirectory directory;
    PackageFile tailPart;
    // The patch file from the installed package, beside App (App.patch), resumed as the
    // package is after a stop, and what it holds.
    std::unique_ptr<PackageFile> patchPart;
    QByteArray patchBytes;
    QList<PatchEntry> patches;
    int patched = 0;
    // The package laid out from App.package and the patches, off the event loop: local
    // work, however long, is no silence of the network's.
    std::thread rebuilding;
    DeltaPlan plan;
    QString rebuildProblem;
    // Why the transfer as a whole was given up on; nothing is tried after that.
    QString timedOut;
    QString problem;
    QString sha256;
    QByteArray blake2b;
};
