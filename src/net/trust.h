#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

class QSslConfiguration;

// Whom the requests trust: the system's certificate authorities, and in a build with
// UPDATER_TRUSTED_CA the vendor's as well, for years, since the updater never updates
// itself. Handing the whole system store to the TLS layer costs more than the rest of a
// run, so a request first trusts the vendor's authorities alone; only when that
// handshake fails for want of an authority is it made again trusting the system's,
// looked up on demand as in a build without the vendor's, and that handshake's verdict
// stands.

// The configuration of the first attempt: the vendor's authorities alone, or with none
// the default one (the system's, looked up on demand).
QSslConfiguration firstAttempt(const QList<QSslCertificate> &vendorAuthorities);
// The system's authorities (the default configuration, whose store Qt reads on demand;
// adding the vendor's would make it read the whole store).
QSslConfiguration systemAuthorities();
// Whether a handshake that failed with these errors failed only for want of an
// authority, so that one that trusts more might succeed.
bool lacksAuthority(const QList<QSslError> &errors);

// Why `leaf` does not vouch for `host`, or nothing: the host must be among its DNS or IP
// alternative names, and only a certificate without any may name it in its common name.
QString hostMismatch(const QSslCertificate &leaf, const QString &host);
