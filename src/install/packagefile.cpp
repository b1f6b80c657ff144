#include "packagefile.h"

#include "mappingguard.h"
#include "regularfile.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

static QString infoPath(const QString &name)
{
    return name + QStringLiteral(".info");
}

QString installedPackagePath(const QString &appPath)
{
    return appPath + QStringLiteral(".package");
}

PackageFile::PackageFile(const QString &appPath, const QString &suffix)
    : name(appPath + suffix), installed(installedPackagePath(appPath))
{
}

PackageFile::~PackageFile()
{
    close();
}

void PackageFile::close()
{
    // Unwatched before the addresses can be anyone else's.
    guard.reset();
    if (mapped)
        data.unmap(mapped);
    mapped = nullptr;
    data.close();
}

bool PackageFile::create(QString *why)
{
    kept = false;
    release();
    data.setFileName(name);
    if (clearOwnedName(name) && openRegular(data, QIODevice::WriteOnly))
        return true;
    *why = QStringLiteral("Cannot write %1: %2")
                   .arg(name,
                        QFileInfo::exists(name) ? QStringLiteral("its name is taken")
                                                : data.errorString());
    return false;
}

static PartialDownload readInfo(const QString &path)
{
    QFile file(path);
    PartialDownload partial;
    if (!openRegular(file, QIODevice::ReadOnly) || file.size() > 64 * 1024)
        return partial;
    const QJsonObject info = QJsonDocument::fromJson(file.readAll()).object();
    partial.hash = info.value(QLatin1String("hash")).toString();
    partial.size = info.value(QLatin1String("size")).toInteger(-1);
    partial.url = info.value(QLatin1String("url")).toString();
    partial.validator = info.value(QLatin1String("validator")).toString().toLatin1();
    return partial;
}

qint64 PackageFile::resume(const PartialDownload &wanted, PartialDownload *kept)
{
    *kept = readInfo(infoPath(name));
    close();
    data.setFileName(name);
    const bool same = !kept->validator.isEmpty() && kept->hash == wanted.hash && kept->size > 0
            && (wanted.size < 0 || kept->size == wanted.size) && kept->url == wanted.url;
    if (!same || !openRegular(data, QIODevice::ReadWrite) || data.size() >= kept->size) {
        release();
        return 0;
    }
    // Its description is written again when the server answers.
    QFile::remove(infoPath(name));
    return data.size();
}

QByteArray PackageFile::map()
{
    close();
    data.setFileName(name);
    if (!openRegular(data, QIODevice::ReadOnly) || data.size() == 0)
        return QByteArray();
    mapped = data.map(0, data.size());
    guard = std::make_unique<MappingGuard>(mapped, data.size());
    return mapped ? QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), data.size())
                  : QByteArray();
}

bool PackageFile::damaged() const
{
    return guard && guard->damaged();
}

void PackageFile::keepPartial(const PartialDownload &partial)
{
    // Whole or not at all, on a full disk too.
    QSaveFile info(infoPath(name));
    const QJsonObject object{{QLatin1String("hash"), partial.hash},
                             {QLatin1String("size"), partial.size},
                             {QLatin1String("url"), partial.url},
                             {QLatin1String("validator"), QString::fromLatin1(partial.validator)}};
    kept = clearOwnedName(info.fileName()) && info.open(QIODevice::WriteOnly)
            && info.write(QJsonDocument(object).toJson()) > 0 && info.commit();
}

void PackageFile::keepWhole(const QByteArray &bytes, const PartialDownload &partial)
{
    // The bytes whole first, then what they are: a stop between leaves them undescribed.
    forgetPartial();
    QSaveFile file(name);
    if (clearOwnedName(name) && file.open(QIODevice::WriteOnly)
        && file.write(bytes) == bytes.size() && file.commit()) {
        keepPartial(partial);
    }
}

QByteArray PackageFile::keptWhole(const PartialDownload &wanted, QByteArray *validator) const
{
    const PartialDownload kept = readInfo(infoPath(name));
    QFile file(name);
    if (kept.validator.isEmpty() || kept.hash != wanted.hash || kept.size != wanted.size
        || kept.url != wanted.url || !openRegular(file, QIODevice::ReadOnly)
        || file.size() > 64 * 1024 * 1024) {
        return QByteArray();
    }
    *validator = kept.validator;
    return file.readAll();
}

void PackageFile::forgetPartial()
{
    kept = false;
    QFile::remove(infoPath(name));
}

void PackageFile::release()
{
    close();
    if (!kept) {
        QFile::remove(name);
        QFile::remove(infoPath(name));
    }
    kept = false;
}

bool PackageFile::keepAsInstalled()
{
    close();
    return clearOwnedName(installed) && QFile::rename(name, installed);
}
