#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Checks a release's minisign signature against the vendor's public keys, so that whoever
// controls the release server cannot publish a package of their own: the manifest's
// digest comes from that same server and proves nothing against it.

// What the vendor signed with a package, in its trusted comment: tab-separated key:value
// fields, of which these are known (others are left for later versions).
struct SignedRelease
{
    // The key that signed it, as minisign names it: 16 upper-case hex digits.
    QString keyId;
    // When it was signed, and until when it may be served; -1 when not said.
    qint64 timestamp = -1;
    qint64 expires = -1;
    QString file;
    // The manifest's version; empty in releases signed before it was signed.
    QString version;
    // Keys that are no longer the vendor's.
    QStringList revokes;
    // Why the comment cannot be taken as it stands: a known field given twice, or a time
    // that is not plain digits of a date; empty when it can.
    QString malformed;
};

// A signed time as the log and --check name it: "2026-12-09T10:00:00Z".
QString utcText(qint64 seconds);

// Reads the fields of a trusted comment.
SignedRelease readTrustedComment(const QByteArray &comment);

// The latest time a signed field may name: 9999-12-31T23:59:59Z, the last that a date
// shows.
inline constexpr qint64 latestSignedTime = 253402300799;

// A key id as minisign prints it (up to 16 hex digits), as 16 upper-case ones; nothing
// when it is none.
QString normalKeyId(const QString &id);

// The id of the key that made a .minisig text, or nothing.
QString signatureKeyId(const QByteArray &minisig);

// The id of a public key (the second line of a minisign.pub), or nothing.
QString publicKeyId(const QByteArray &publicKey);

// `publicKeys`: the second lines of the vendor's minisign.pub files (base64 of "Ed", the
// key id and the Ed25519 key); the signature must be made with the one whose id it names.
// `signature`: the manifest's "signature", base64 of the whole .minisig text. `blake2b`:
// the BLAKE2b-512 digest of the package as received. `fileName`: the last segment of the
// package's URL, which the trusted comment must name. Returns an empty text when the
// package is the vendor's, with what was signed in `release`; else which check failed.
QString checkSignature(const QList<QByteArray> &publicKeys, const QString &signature,
                       const QByteArray &blake2b, const QString &fileName,
                       SignedRelease *release = nullptr);

// All that checkSignature() checks without the package: that one of the keys signed it,
// its trusted comment with it, and the comment names `fileName`. What proves the release
// the vendor's before its package is at hand.
QString checkTrustedComment(const QList<QByteArray> &publicKeys, const QString &signature,
                            const QString &fileName, SignedRelease *release = nullptr);
