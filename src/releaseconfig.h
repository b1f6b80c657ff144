#pragma once

#include <QByteArray>
#include <QString>

// Fixed at build time (UPDATER_RELEASE_SERVER, UPDATER_TRUSTED_CA, UPDATER_SIGNING_KEY);
// each program links one definition of these.
QString releaseServer();
QByteArray trustedCaPem();
// The vendor's minisign public key in base64, empty when packages need no signature.
QByteArray signingKey();
