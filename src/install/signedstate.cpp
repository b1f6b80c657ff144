#include "signedstate.h"

#include "regularfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

// A clock may be this far ahead of the vendor's.
static constexpr qint64 clockAllowance = 3600;

static QString signedStatePath(const QString &appPath)
{
    return appPath + QStringLiteral(".signed");
}

SignedState readSignedState(const QString &appPath)
{
    QFile file(signedStatePath(appPath));
    SignedState state;
    if (!openRegular(file, QIODevice::ReadOnly) || file.size() > 1024 * 1024)
        return state;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    state.timestamp = object.value(QLatin1String("timestamp")).toInteger(-1);
    state.blake2b = QByteArray::fromHex(
            object.value(QLatin1String("blake2b")).toString().toLatin1());
    for (const QJsonValue &id : object.value(QLatin1String("revoked")).toArray())
        state.revoked.append(id.toString());
    return state;
}

bool writeSignedState(const QString &appPath, const SignedState &state)
{
    QSaveFile file(signedStatePath(appPath));
    const QJsonObject object{{QLatin1String("timestamp"), state.timestamp},
                             {QLatin1String("blake2b"), QString::fromLatin1(state.blake2b.toHex())},
                             {QLatin1String("revoked"), QJsonArray::fromStringList(state.revoked)}};
    return clearOwnedName(file.fileName()) && file.open(QIODevice::WriteOnly)
            && file.write(QJsonDocument(object).toJson()) > 0 && file.commit();
}

QString refuseSignedRelease(const SignedRelease &release, const QString &version,
                            const SigningPolicy &policy)
{
    if (policy.installed.revoked.contains(release.keyId))
        return QStringLiteral("signed by the revoked key %1").arg(release.keyId);
    if (!release.version.isEmpty() && release.version != version) {
        return QStringLiteral("the manifest's version \"%1\" is not the signed version \"%2\"")
                .arg(version, release.version);
    }
    if (release.timestamp < policy.installed.timestamp) {
        return QStringLiteral("signed at %1, before the installed release (signed at %2)")
                .arg(utcText(release.timestamp), utcText(policy.installed.timestamp));
    }
    if (release.expires >= 0 && policy.now > release.expires + clockAllowance)
        return QStringLiteral("the release expired at %1").arg(utcText(release.expires));
    return QString();
}

SignedState withRevocations(SignedState state, const SignedRelease &release)
{
    for (const QString &id : release.revokes) {
        if (id != release.keyId && !state.revoked.contains(id))
            state.revoked.append(id);
    }
    return state;
}

SignedState withInstalled(SignedState state, const SignedRelease &release, const QByteArray &blake2b)
{
    state = withRevocations(state, release);
    state.timestamp = release.timestamp;
    state.blake2b = blake2b;
    return state;
}
