#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>

// Fetches the release that `manifestUrl` announces exactly as an updater built with these
// authorities (its UPDATER_TRUSTED_CA) and this minisign public key (its
// UPDATER_SIGNING_KEY, base64; empty for none) fetches it, with the same code and limits,
// and checks it as such an updater does before it touches App. Prints one line per check
// and returns 0 only when such an updater would install the release.
int checkRelease(const QString &manifestUrl, const QList<QSslCertificate> &authorities,
                 const QByteArray &signingKey);
