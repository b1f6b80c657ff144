#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

// A release of the updater itself for one platform, as the manifest's "updater" object
// lists them by platform ("windows-x86_64", "linux-x86_64"): a zip of one whole updater
// version folder. Only self-updating builds look at them.
struct UpdaterRelease
{
    QString version;
    QString url;
    QString hash;
    qint64 size = -1;
    QString signature;
};

// A patch file for the release's package, for updaters whose installed package is the one
// of SHA-256 `from` (see patchfile.h).
struct PatchFile
{
    QString from;
    QString url;
    QString hash;
    qint64 size = -1;
};

// What latest.json says about a release.
struct ReleaseManifest
{
    QString version;
    QString url;
    QString hash;
    // The package's length in bytes; -1 when the manifest does not give it.
    qint64 size = -1;
    // base64 of the package's .minisig text; only builds with the vendor's key look at it.
    QString signature;
    // The updater's own releases, by platform; entries that are not whole are left out.
    QMap<QString, UpdaterRelease> updaters;
    // Patch files from earlier packages; entries that are not whole are left out.
    QList<PatchFile> patches;
};

// Reads a manifest. Every member is read as a string, and one that is not is empty; only
// "size", when it is there, must be a whole number of bytes. Returns why the manifest
// is unusable, as the updater logs it, or nothing.
QString parseManifest(const QByteArray &body, ReleaseManifest *manifest);

// The manifest's JSON for `manifest`: "size" when it is not -1, "signature" when it is not
// empty, "updater" and "patches" when they list any.
QByteArray writeManifest(const ReleaseManifest &manifest);
