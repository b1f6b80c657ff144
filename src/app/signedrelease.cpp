#include "installation.h"
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
    const SignedState state = installedBlake2b.isEmpty()
            ? withRevocations(kept, release)
            : withInstalled(kept, release, installedBlake2b);
    if (state.revoked != kept.revoked || state.timestamp != kept.timestamp
        || state.blake2b != kept.blake2b) {
        writeSignedState(app, state);
    }
}

bool window::RefuseUnchanged(const SigningPolicy &signing)
{
    SignedRelease release;
    const QString refusal = checkSigned(signing.installed.blake2b, Manifest(), signing, &release);
    KeepSigned(release, refusal.isEmpty() ? signing.installed.blake2b : QByteArray());
    if (refusal.isEmpty())
        return false;
    qDebug() << "Signature check failed:" << refusal;
    failure = refusal;
    ShowUpdateError();
    return true;
}
