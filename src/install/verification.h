#pragma once

#include "preflight.h"
#include "releasemanifest.h"

#include <QByteArray>
#include <QString>

// What a downloaded package must pass before it may replace an installation, in this
// order: its size and SHA-256 as the manifest gives them, the vendor's signature when
// the build has a key, then the archive's plan (see preflight.h).
struct Verification
{
    enum Check { Passed, Size, Digest, Signature, Opening, Archive };
    // The first check that failed, and why.
    Check failed = Passed;
    QString reason;
    // After Passed: what the archive's directory says about the installation.
    InstallPlan plan;

    // Whether the package is the one the manifest (and the key) vouch for, whatever its
    // archive then turned out to be.
    bool authentic() const { return failed == Passed || failed > Signature; }
};

// `sha256` is the package's lower-case hex SHA-256 and `blake2b` its BLAKE2b-512 (the
// latter only looked at with a `signingKey`), both taken as it arrived. `blockSize` is
// the installation volume's.
Verification verifyPackage(const QByteArray &package, const QString &sha256,
                           const QByteArray &blake2b, const ReleaseManifest &manifest,
                           const QByteArray &signingKey, qint64 blockSize);
