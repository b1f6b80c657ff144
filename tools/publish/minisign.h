#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The minisign program, as the release maintainer runs it.

// Where the minisign program is; empty when it is not installed.
QString findMinisign();

// What a release's signature vouches for besides its bytes: its file name, its version,
// the keys it revokes (16 hex digits each) and its end date, `expiresDays` from now (0:
// none).
struct SignedFields
{
    QString fileName;
    QString version;
    QStringList revokes;
    int expiresDays = 0;
};

// Whether `text` holds a tab, a line end or another control character, which would add
// fields or lines to a trusted comment.
bool hasControlCharacter(const QString &text);

// The trusted comment for `fields`, signed now: tab-separated key:value fields.
QString trustedComment(const SignedFields &fields);

// Signs `packagePath` into `signaturePath` with the trusted comment of `fields`, and
// checks the signature with `publicKey` when there is one; minisign asks for the key's
// password on the terminal, as it always does. A signature by a key that `fields` revokes
// is refused, and so are a file name or version with a control character. Returns the .minisig text, or an empty one with the reason (minisign's own,
// where it gives one).
QByteArray signPackage(const QString &minisign, const QString &packagePath,
                       const QString &signaturePath, const SignedFields &fields,
                       const QString &secretKey, const QString &publicKey, QString *error);

// A minisign public key file's key line (base64), or nothing.
QByteArray publicKeyLine(const QString &path);
