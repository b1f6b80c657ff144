#include "installation.h"
#include "signature.h"
#include "verification.h"
#include "window.h"

#include <QDateTime>
#include <QDebug>

ReleaseManifest window::Manifest() const
{
    return {version, packageUrl, expectedHash, expectedSize, signature, updaters, patches};
}

SigningPolicy window::Signing() const
{
    return {settings.signingKeys, readSignedState(installPath(InstallParent())),
            QDateTime::currentSecsSinceEpoch()};
}

void window::KeepSigned(const SignedRelease &release, const QByteArray &installedBlake2b)
{
    const QString app = installPath(InstallParent());
    const SignedState kept = readSignedState(app);
    // A revoked key's word counts for nothing, its revocations included.
    if (release.keyId.isEmpty() || kept.revoked.contains(release.keyId))
        return;
    QStringList keyIds;
    for (const QByteArray &key : settings.signingKeys)
        keyIds.append(publicKeyId(key));
    const SignedState state = withInstalled(kept, release, installedBlake2b, keyIds);
    if (state.revoked != kept.revoked || state.timestamp != kept.timestamp
        || state.blake2b != kept.blake2b || state.key != kept.key) {
        writeSignedState(app, state);
    }
}

void window::ForgetInstalledDigest()
{
    const QString app = installPath(InstallParent());
    SignedState kept = readSignedState(app);
    if (kept.blake2b.isEmpty())
        return;
    kept.blake2b.clear();
    writeSignedState(app, kept);
}

bool window::RefuseUnchanged(const SigningPolicy &signing, const SignedRelease &release)
{
    const QString refusal = refuseSignedRelease(release, version, signing);
    if (refusal.isEmpty()) {
        KeepSigned(release, signing.installed.blake2b);
        return false;
    }
    qDebug() << "Signature check failed:" << refusal;
    failure = refusal;
    ShowUpdateError();
    return true;
}
