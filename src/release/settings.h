#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>

// What a run keeps to: where it looks, whom it trusts, how long and how much it waits for,
// and where it installs. buildSettings() gives the program's own; tests and tools change
// a copy.
struct Settings
{
    QString manifestLocation;
    // Authorities trusted besides the system's (UPDATER_TRUSTED_CA).
    QList<QSslCertificate> vendorAuthorities;
    // The minisign public keys (base64) one of which must have signed every package; none
    // when packages need no signature.
    QList<QByteArray> signingKeys;
    // A transfer ends when nothing arrives for transferTimeout ms, or when fewer than
    // lowSpeedLimit bytes a second arrive on average over lowSpeedTime ms.
    int transferTimeout = 60 * 1000;
    qint64 lowSpeedLimit = 1024;
    int lowSpeedTime = 60 * 1000;
    // The largest manifest, and the largest package whose manifest gives no size.
    qint64 maxManifestSize = 1024 * 1024;
    qint64 maxPackageSize = qint64(2048) * 1024 * 1024;
    // The folder that holds App; empty for the updater's own.
    QString installParent;
    // Vendor options: every log line also to PellarinUpdater.log beside the executable,
    // and the download's progress in the splash window.
    bool logFile = false;
    bool showProgress = false;
    // Vendor options for the field: no download while the installed release is the
    // manifest's and complete, and the installed release started when the update cannot
    // be had (then the manifest must arrive within manifestTimeout ms, and a new release
    // is unpacked beside the old one and swapped in).
    bool skipUnchanged = false;
    bool offlineStart = false;
    int manifestTimeout = 10 * 1000;
    // Vendor option for release day: the installed release's package is kept beside App,
    // a new one is rebuilt from it and the ranges of the new one that changed, and a
    // broken download is resumed.
    bool deltaUpdates = false;
    // An entry is rebuilt from a patch only when neither its earlier nor its new bytes are
    // over this many, which it holds in memory while it does.
    qint64 patchLimit = qint64(256) * 1024 * 1024;
    // Vendor option for the years of a product: the updater is one version of several
    // side by side (<folder>/updater/<version>/), run by a starter that never changes.
    bool selfUpdate = false;
    QString updaterVersion;
    // When the program was configured (Unix seconds): no release of the updater signed
    // before it is taken.
    qint64 buildTime = 0;
};
