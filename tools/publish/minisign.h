#pragma once

#include <QByteArray>
#include <QString>

// The minisign program, as the release maintainer runs it.

// Where the minisign program is; empty when it is not installed.
QString findMinisign();

// Signs `packagePath` into `signaturePath` as the package called `fileName`, and checks
// the signature with `publicKey` when there is one; minisign asks for the key's password
// on the terminal, as it always does. Returns the .minisig text, or an empty one with
// the reason (minisign's own, where it gives one).
QByteArray signPackage(const QString &minisign, const QString &packagePath,
                       const QString &signaturePath, const QString &fileName,
                       const QString &secretKey, const QString &publicKey, QString *error);

// A minisign public key file's key line (base64), or nothing.
QByteArray publicKeyLine(const QString &path);
