#pragma once

#include <QString>
#include <QStringList>

// What the release maintainer asks for.
struct PublishRequest
{
    QString folder; // the application, with bin/PellarinApp.exe
    QString version;
    QString url; // where the package will be served
    QString output; // the release folder
    QString secretKey; // minisign's, to sign with; empty for none
    QString publicKey; // to check the signature with; empty for none
    QStringList revokes; // key ids that the release revokes, 16 hex digits each
    int expiresDays = 0; // the signature's end date, in days from now; 0 for none
    // For an updater release: its platform ("windows-x86_64", "linux-x86_64"); the
    // folder is then one whole updater version.
    QString updaterPlatform;
    // Earlier packages of the application, from each of which a patch file to this one is
    // published beside it.
    QStringList patchFrom;
    // The vendor's public keys (base64 key lines) that this build trusts, besides
    // `publicKey`: a release is signed anew only when its signature verifies with one.
    QList<QByteArray> trustedKeys;
};

// Packs the folder into the package and writes latest.json, which announces it, and
// says what it wrote on standard output; the updater releases that latest.json lists stay.
// With `updaterPlatform`, the folder is one whole updater version (it must hold the
// updater's program), and it becomes that platform's updater release in the live
// latest.json, in place of the one there, the application's release and the other
// platforms left as they are. Everything that can be known is checked before
// anything is written, and the outputs are written under temporary names and renamed
// into place, the package first and latest.json last, so a live release folder never
// names a package that is not there; a package name, once published, never serves other
// bytes. Returns why nothing was published, or nothing.
QString publishRelease(const PublishRequest &request);

// Signs the live release in `request.output` again, with a new time, end date and the
// revocations asked for, without touching its package: only latest.json is replaced,
// whole, by rename. The folder, version and URL of the request are not used. Returns why
// nothing was re-signed, or nothing.
QString resignRelease(const PublishRequest &request);
