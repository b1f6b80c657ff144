#pragma once

#include <QByteArray>
#include <QString>

// Checks a release's minisign signature against the vendor's public key, so that whoever
// controls the release server cannot publish a package of their own: the manifest's
// digest comes from that same server and proves nothing against it.
//
// `publicKey`: the second line of the vendor's minisign.pub (base64 of "Ed", the key id
// and the Ed25519 key). `signature`: the manifest's "signature", base64 of the whole
// .minisig text. `blake2b`: the BLAKE2b-512 digest of the package as received.
// `fileName`: the last segment of the package's URL, which the trusted comment must name.
// Returns an empty text when the package is the vendor's, else which check failed.
QString checkSignature(const QByteArray &publicKey, const QString &signature,
                       const QByteArray &blake2b, const QString &fileName);
