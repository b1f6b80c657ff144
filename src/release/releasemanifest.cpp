#include "releasemanifest.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

QString parseManifest(const QByteArray &body, ReleaseManifest *manifest)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("Erreur parsing JSON: \"%1\"").arg(error.errorString());
    if (!document.isObject())
        return QStringLiteral("Le JSON n'est pas un objet.");
    const QJsonObject object = document.object();
    // Optional, for manifests written before it existed; when there, it must be usable.
    const QJsonValue size = object.value(QStringLiteral("size"));
    if (!size.isUndefined()) {
        const double bytes = size.toDouble(-1);
        if (!size.isDouble() || bytes < 0 || bytes > 9007199254740992.0
            || bytes != std::floor(bytes)) {
            return QStringLiteral("Le champ size du manifeste n'est pas un nombre d'octets.");
        }
        manifest->size = qint64(bytes);
    }
    manifest->version = object.value(QStringLiteral("version")).toString();
    manifest->url = object.value(QStringLiteral("url")).toString();
    manifest->hash = object.value(QStringLiteral("hash")).toString();
    manifest->signature = object.value(QStringLiteral("signature")).toString();
    return QString();
}

QByteArray writeManifest(const ReleaseManifest &manifest)
{
    QJsonObject object{{QStringLiteral("version"), manifest.version},
                       {QStringLiteral("url"), manifest.url},
                       {QStringLiteral("hash"), manifest.hash}};
    if (manifest.size >= 0)
        object.insert(QStringLiteral("size"), manifest.size);
    if (!manifest.signature.isEmpty())
        object.insert(QStringLiteral("signature"), manifest.signature);
    return QJsonDocument(object).toJson();
}
