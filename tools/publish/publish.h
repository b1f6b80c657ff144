#pragma once

#include <QString>

// What the release maintainer asks for.
struct PublishRequest
{
    QString folder; // the application, with bin/PellarinApp.exe
    QString version;
    QString url; // where the package will be served
    QString output; // the release folder
    QString secretKey; // minisign's, to sign with; empty for none
    QString publicKey; // to check the signature with; empty for none
};

// Packs the folder into the package and writes latest.json, which announces it, and
// says what it wrote on standard output. Everything that can be known is checked before
// anything is written, and the outputs are written under temporary names and renamed
// into place, the package first and latest.json last, so a live release folder never
// names a package that is not there; a package name, once published, never serves other
// bytes. Returns why nothing was published, or nothing.
QString publishRelease(const PublishRequest &request);
