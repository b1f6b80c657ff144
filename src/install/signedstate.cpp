#include "signedstate.h"

#include "regularfile.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

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
    state.key = object.value(QLatin1String("key")).toString();
    return state;
}

bool writeSignedState(const QString &appPath, const SignedState &state)
{
    QSaveFile file(signedStatePath(appPath));
    const QJsonObject object{{QLatin1String("timestamp"), state.timestamp},
                             {QLatin1String("blake2b"), QString::fromLatin1(state.blake2b.toHex())},
                             {QLatin1String("revoked"), QJsonArray::fromStringList(state.revoked)},
                             {QLatin1String("key"), state.key}};
    return clearOwnedName(file.fileName()) && file.open(QIODevice::WriteOnly)
            && file.write(QJsonDocument(object).toJson()) > 0 && file.commit();
}

QString refuseSignedRelease(const SignedRelease &release, const QString &version,
                            const SigningPolicy &policy)
{
    if (!release.malformed.isEmpty())
        return QStringLiteral("the trusted comment %1").arg(release.malformed);
    if (policy.installed.revoked.contains(release.keyId))
        return QStringLiteral("signed by the revoked key %1").arg(release.keyId);
    if (!release.version.isEmpty() && release.version != version) {
        return QStringLiteral("the manifest's version \"%1\" is not the signed version \"%2\"")
                .arg(version, release.version);
    }
    const qint64 floor = policy.installed.revoked.contains(policy.installed.key)
            ? -1
            : policy.installed.timestamp;
    if (release.timestamp < floor) {
        return QStringLiteral("signed at %1, before the installed release (signed at %2)")
                .arg(utcText(release.timestamp), utcText(floor));
    }
    // Taken, it would be the floor of every later release.
    if (release.timestamp > policy.now + clockAllowance) {
        return QStringLiteral("signed at %1, ahead of this machine's clock (%2)")
                .arg(utcText(release.timestamp), utcText(policy.now));
    }
    if (release.expires >= 0 && policy.now > release.expires + clockAllowance)
        return QStringLiteral("the release expired at %1").arg(utcText(release.expires));
    return QString();
}

SignedState withRevocations(SignedState state, const SignedRelease &release,
                            const QStringList &keyIds)
{
    for (const QString &id : release.revokes) {
        if (id == release.keyId || state.revoked.contains(id))
            continue;
        const bool another = std::any_of(keyIds.cbegin(), keyIds.cend(), [&](const QString &key) {
            return key != id && !state.revoked.contains(key);
        });
        if (!keyIds.isEmpty() && !another) {
            qWarning().noquote() << "Not revoking" << id
                                 << ": no key of this updater's could sign after it";
            continue;
        }
        state.revoked.append(id);
    }
    return state;
}

SignedState withInstalled(SignedState state, const SignedRelease &release,
                          const QByteArray &blake2b, const QStringList &keyIds)
{
    state = withRevocations(state, release, keyIds);
    state.timestamp = release.timestamp;
    state.blake2b = blake2b;
    state.key = release.keyId;
    return state;
}
