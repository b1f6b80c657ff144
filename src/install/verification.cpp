#include "verification.h"

#include "signature.h"

#include <QBuffer>
#include <QUrl>

#include <quazip.h>

static Verification refuse(Verification::Check check, const QString &reason)
{
    Verification result;
    result.failed = check;
    result.reason = reason;
    return result;
}

QString checkSigned(const QByteArray &blake2b, const ReleaseManifest &manifest,
                    const SigningPolicy &signing, SignedRelease *release)
{
    // Signed for the name it is served under, not another release's.
    const QString refusal = checkSignature(signing.keys, manifest.signature, blake2b,
                                           QUrl(manifest.url, QUrl::TolerantMode).fileName(),
                                           release);
    return refusal.isEmpty() ? refuseSignedRelease(*release, manifest.version, signing) : refusal;
}

QString checkSignedComment(const ReleaseManifest &manifest, const SigningPolicy &signing,
                           SignedRelease *release)
{
    const QString refusal = checkTrustedComment(
            signing.keys, manifest.signature, QUrl(manifest.url, QUrl::TolerantMode).fileName(),
            release);
    return refusal.isEmpty() ? refuseSignedRelease(*release, manifest.version, signing) : refusal;
}

Verification verifyPackage(const QByteArray &package, const QString &sha256,
                           const QByteArray &blake2b, const ReleaseManifest &manifest,
                           const SigningPolicy &signing, qint64 blockSize, const QString &program)
{
    if (manifest.size >= 0 && package.size() != manifest.size) {
        return refuse(Verification::Size,
                      QStringLiteral("%1 bytes, the manifest says %2")
                              .arg(package.size())
                              .arg(manifest.size));
    }
    if (sha256 != manifest.hash) {
        return refuse(Verification::Digest,
                      QStringLiteral("%1, the manifest says \"%2\"").arg(sha256, manifest.hash));
    }
    SignedRelease signedRelease;
    if (!signing.keys.isEmpty()) {
        const QString refusal = checkSigned(blake2b, manifest, signing, &signedRelease);
        if (!refusal.isEmpty()) {
            Verification refused = refuse(Verification::Signature, refusal);
            refused.signedRelease = signedRelease;
            return refused;
        }
    }
    QByteArray bytes = package;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    if (!zip.open(QuaZip::mdUnzip, nullptr)) {
        Verification refused = refuse(Verification::Opening,
                                      QStringLiteral("not a zip archive that can be opened"));
        refused.signedRelease = signedRelease;
        return refused;
    }
    Verification result;
    result.signedRelease = signedRelease;
    result.reason = planInstallation(zip, package, blockSize, &result.plan, program);
    if (!result.reason.isEmpty())
        result.failed = Verification::Archive;
    return result;
}
