#pragma once

#include "preflight.h"
#include "releasemanifest.h"
#include "signedstate.h"

#include <QByteArray>
#include <QString>

// What a downloaded package must pass before it may replace an installation, in this
// order: its size and SHA-256 as the manifest gives them, the vendor's signature and what
// it signed (see signedstate.h) when the build has keys, then the archive's plan (see
// preflight.h).
struct Verification
{
    enum Check { Passed, Size, Digest, Signature, Opening, Archive };
    // The first check that failed, and why.
    Check failed = Passed;
    QString reason;
    // After Passed: what the archive's directory says about the installation.
    InstallPlan plan;
    // Once the signature verified, what it signed (a key id), even when the release was
    // then refused for what it says.
    SignedRelease signedRelease;

    // Whether the package is the one the manifest (and the key) vouch for, whatever its
    // archive then turned out to be.
    bool authentic() const { return failed == Passed || failed > Signature; }
};

// `sha256` is the package's lower-case hex SHA-256 and `blake2b` its BLAKE2b-512 (the
// latter only looked at with signing keys), both taken as it arrived. `blockSize` is
// the installation volume's. `program` is the one the package must hold, when it is not
// the application's.
Verification verifyPackage(const QByteArray &package, const QString &sha256,
                           const QByteArray &blake2b, const ReleaseManifest &manifest,
                           const SigningPolicy &signing, qint64 blockSize,
                           const QString &program = QString());

// The signature check alone, and what the release says against what is installed.
QString checkSigned(const QByteArray &blake2b, const ReleaseManifest &manifest,
                    const SigningPolicy &signing, SignedRelease *release);
// The same without the package: its trusted comment, and what that says against what is
// installed.
QString checkSignedComment(const ReleaseManifest &manifest, const SigningPolicy &signing,
                           SignedRelease *release);
