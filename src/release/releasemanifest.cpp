#include "releasemanifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

// A whole number of bytes, or -1.
static qint64 byteCount(const QJsonValue &value)
{
    const double bytes = value.toDouble(-1);
    return value.isDouble() && bytes >= 0 && bytes <= 9007199254740992.0
                    && bytes == std::floor(bytes)
            ? qint64(bytes)
            : -1;
}

// The "updater" object's entries that name a version, a URL, a digest and a size.
static QMap<QString, UpdaterRelease> readUpdaters(const QJsonObject &object)
{
    QMap<QString, UpdaterRelease> updaters;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        const UpdaterRelease release{entry.value(QLatin1String("version")).toString(),
                                     entry.value(QLatin1String("url")).toString(),
                                     entry.value(QLatin1String("hash")).toString(),
                                     byteCount(entry.value(QLatin1String("size"))),
                                     entry.value(QLatin1String("signature")).toString()};
        if (!release.version.isEmpty() && !release.url.isEmpty() && !release.hash.isEmpty()
            && release.size >= 0) {
            updaters.insert(it.key(), release);
        }
    }
    return updaters;
}

// The "patches" entries that name an earlier package, a URL, a digest and a size.
static QList<PatchFile> readPatches(const QJsonArray &array)
{
    QList<PatchFile> patches;
    for (const QJsonValue &value : array) {
        const QJsonObject entry = value.toObject();
        const PatchFile patch{entry.value(QLatin1String("from")).toString(),
                              entry.value(QLatin1String("url")).toString(),
                              entry.value(QLatin1String("hash")).toString(),
                              byteCount(entry.value(QLatin1String("size")))};
        if (!patch.from.isEmpty() && !patch.url.isEmpty() && !patch.hash.isEmpty()
            && patch.size >= 0) {
            patches.append(patch);
        }
    }
    return patches;
}

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
        manifest->size = byteCount(size);
        if (manifest->size < 0)
            return QStringLiteral("Le champ size du manifeste n'est pas un nombre d'octets.");
    }
    manifest->version = object.value(QStringLiteral("version")).toString();
    manifest->url = object.value(QStringLiteral("url")).toString();
    manifest->hash = object.value(QStringLiteral("hash")).toString();
    manifest->signature = object.value(QStringLiteral("signature")).toString();
    manifest->updaters = readUpdaters(object.value(QStringLiteral("updater")).toObject());
    manifest->patches = readPatches(object.value(QStringLiteral("patches")).toArray());
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
    QJsonObject updaters;
    for (auto it = manifest.updaters.cbegin(); it != manifest.updaters.cend(); ++it) {
        QJsonObject entry{{QStringLiteral("version"), it->version},
                          {QStringLiteral("url"), it->url},
                          {QStringLiteral("hash"), it->hash},
                          {QStringLiteral("size"), it->size}};
        if (!it->signature.isEmpty())
            entry.insert(QStringLiteral("signature"), it->signature);
        updaters.insert(it.key(), entry);
    }
    if (!updaters.isEmpty())
        object.insert(QStringLiteral("updater"), updaters);
    QJsonArray patches;
    for (const PatchFile &patch : manifest.patches) {
        patches.append(QJsonObject{{QStringLiteral("from"), patch.from},
                                   {QStringLiteral("url"), patch.url},
                                   {QStringLiteral("size"), patch.size},
                                   {QStringLiteral("hash"), patch.hash}});
    }
    if (!patches.isEmpty())
        object.insert(QStringLiteral("patches"), patches);
    return QJsonDocument(object).toJson();
}
