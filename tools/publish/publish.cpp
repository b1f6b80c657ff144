#include "publish.h"

#include "digest.h"
#include "minisign.h"
#include "names.h"
#include "packagewriter.h"
#include "patchwriter.h"
#include "releasemanifest.h"
#include "signature.h"
#include "updaterversions.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QUrl>

#include <cstdio>

#ifdef Q_OS_WIN
#    include <windows.h>
#else
#    include <cerrno>
#    include <cstring>
#    include <unistd.h>
#endif

namespace {

// What the checks found out, for the writing.
struct Plan
{
    QString root;
    QUrl url;
    QString fileName; // as written to disk and served
    QString output;
    QString minisign;
    QStringList entries;
};

// The name under which the server serves the URL's last segment: decoded, since a
// server decodes it too. Empty, with the reason, when that is no plain file name.
QString packageName(const QUrl &url, QString *error)
{
    const QString path = url.path(QUrl::FullyEncoded);
    const QByteArray segment = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1).toLatin1();
    const QByteArray bytes = QByteArray::fromPercentEncoding(segment);
    const QString name = QString::fromUtf8(bytes);
    bool plain = name.toUtf8() == bytes && name != QLatin1String(".")
            && name != QLatin1String("..");
    for (const QChar c : name)
        plain = plain && c >= QLatin1Char(' ') && c != QChar(0x7f) && c != QLatin1Char('/')
                && c != QLatin1Char('\\');
    if (name.compare(QLatin1String("latest.json"), Qt::CaseInsensitive) == 0)
        *error = QStringLiteral("the package cannot be named latest.json: the manifest is");
    else if (!plain)
        *error = QStringLiteral("%1 does not end in a plain file name: decoded, the package's "
                                "name must hold no control character, '/' or '\\', and not be "
                                ". or ..")
                         .arg(url.toString(QUrl::FullyEncoded));
    return error->isEmpty() ? name : QString();
}

// Whether `path` is `folder` or lies inside it.
bool isInside(const QString &path, const QString &folder)
{
    const auto real = [](const QString &p) {
        const QString canonical = QFileInfo(p).canonicalFilePath();
        return QDir::cleanPath(canonical.isEmpty() ? QFileInfo(p).absoluteFilePath() : canonical)
                + QLatin1Char('/');
    };
    return real(path).startsWith(real(folder));
}

// The program that a package must hold: the application's, or for an updater release
// the updater's own.
QString requiredProgram(const PublishRequest &request)
{
    if (request.updaterPlatform.isEmpty())
        return QLatin1String(programPath);
    return request.updaterPlatform.startsWith(QLatin1String("windows"))
            ? QStringLiteral("PellarinUpdater.exe")
            : QStringLiteral("PellarinUpdater");
}

// The folder, the version and the URL.
QString checkRelease(const PublishRequest &request, Plan *plan)
{
    plan->root = QDir(request.folder).absolutePath();
    plan->url = QUrl(request.url, QUrl::StrictMode);
    const QStringList platforms{QStringLiteral("windows-x86_64"), QStringLiteral("linux-x86_64")};
    if (!request.updaterPlatform.isEmpty() && !platforms.contains(request.updaterPlatform)) {
        return QStringLiteral("%1 is no platform of the updater (%2)")
                .arg(request.updaterPlatform, platforms.join(QStringLiteral(", ")));
    }
    if (!QFileInfo(plan->root).isDir())
        return QStringLiteral("%1 is not a folder").arg(plan->root);
    const QString program = requiredProgram(request);
    if (!QFileInfo(plan->root + QLatin1Char('/') + program).isFile()) {
        return QStringLiteral("%1 holds no %2; a package without the program it starts cannot "
                              "be used")
                .arg(plan->root, program);
    }
    if (request.version.trimmed().isEmpty())
        return QStringLiteral("the version must not be empty");
    if (hasControlCharacter(request.version))
        return QStringLiteral("the version holds a control character; the signature's fields "
                              "are tab-separated");
    // Every updater compares its own version with this one, and refuses all else.
    if (!request.updaterPlatform.isEmpty() && !isDottedVersion(request.version))
        return QStringLiteral("the updater's version \"%1\" is not dotted numbers of at most 9 "
                              "digits each")
                .arg(request.version);
    if (!plan->url.isValid() || plan->url.scheme() != QLatin1String("https")
        || plan->url.host().isEmpty() || plan->url.fileName().isEmpty()) {
        return QStringLiteral("%1 is not an https URL that ends in the package's file name")
                .arg(request.url);
    }
    QString error;
    plan->fileName = packageName(plan->url, &error);
    return error;
}

// The minisign program and the keys, when the request signs.
QString checkKeys(const PublishRequest &request, QString *minisign)
{
    if (request.secretKey.isEmpty())
        return QString();
    *minisign = findMinisign();
    if (minisign->isEmpty())
        return QStringLiteral("--sign needs the minisign program, which is not installed");
    for (const QString &key : {request.secretKey, request.publicKey}) {
        QFile file(key);
        if (!key.isEmpty() && !file.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read %1: %2").arg(key, file.errorString());
    }
    return QString();
}

// The keys, the output folder and the files to pack.
QString checkOutputs(const PublishRequest &request, Plan *plan)
{
    const QString keys = checkKeys(request, &plan->minisign);
    if (!keys.isEmpty())
        return keys;
    plan->output = QFileInfo(request.output).absoluteFilePath();
    if (isInside(plan->output, plan->root)) {
        return QStringLiteral("the output folder %1 is inside %2, and would be packed into the "
                              "next release")
                .arg(plan->output, plan->root);
    }
    QString error;
    collectEntries(plan->root, &plan->entries, &error);
    // A version folder that `cmake --install` made, or that has run, holds the stamps of
    // that installation; each user's installation makes its own.
    if (!request.updaterPlatform.isEmpty()) {
        const auto stamp = [](const QString &entry) { return isInstallationStamp(entry); };
        const qsizetype stamps = plan->entries.removeIf(stamp);
        if (stamps > 0)
            std::fprintf(stderr, "Left out %lld stamps of the installation this folder was in\n",
                         static_cast<long long>(stamps));
    }
    return error;
}

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

// Replaces `to` with `from` in one step, where the system can.
QString replace(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING)) {
        return QString();
    }
    return QStringLiteral("cannot move %1 to %2: error %3").arg(from, to).arg(GetLastError());
#else
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return QString();
    return QStringLiteral("cannot move %1 to %2: %3")
            .arg(from, to, QString::fromLocal8Bit(std::strerror(errno)));
#endif
}

// Caches and mirrors keep what a URL served once: other bytes under the same name would
// reach some users as a package that fails its digest.
QString sameNameProblem(const QString &packagePath, const QByteArray &hash)
{
    if (!QFileInfo::exists(packagePath) || sha256Of(packagePath) == hash)
        return QString();
    return QStringLiteral("%1 already holds another package of that name; publish this "
                          "release under a new name")
            .arg(packagePath);
}

// Puts `from` at `to` unless a file is there already, so that another run's package is
// never replaced: then the bytes there must be this package's (`hash`).
QString placeNew(const QString &from, const QString &to, const QByteArray &hash)
{
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()), 0)) {
        return QString();
    }
    const DWORD code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS)
        return QStringLiteral("cannot move %1 to %2: error %3").arg(from, to).arg(code);
#else
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return QString();
    if (errno != EEXIST) {
        return QStringLiteral("cannot link %1 to %2: %3")
                .arg(from, to, QString::fromLocal8Bit(std::strerror(errno)));
    }
#endif
    return sameNameProblem(to, hash);
}

// Replaces latest.json whole, by rename.
QString writeManifestFile(const QString &path, const ReleaseManifest &manifest)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(writeManifest(manifest)) < 0
        || !file.commit()) {
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    }
    return QString();
}

// The live manifest in `output`, or an empty one when there is none yet.
QString readLive(const QString &output, ReleaseManifest *manifest)
{
    QFile live(QDir(output).absoluteFilePath(QStringLiteral("latest.json")));
    if (!live.exists())
        return QString();
    if (!live.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(live.fileName(), live.errorString());
    const QString unusable = parseManifest(live.readAll(), manifest);
    return unusable.isEmpty() ? QString() : QStringLiteral("%1: %2").arg(live.fileName(), unusable);
}

// The package and its signature, in place; `placed` says what the manifest says of them.
// Each is written in a folder of this run's own, made afresh, so that two runs at once, or
// a link left in the output folder, never mix into what is published.
// A patch file from each earlier package to the one at `part`, in place beside it; each
// is named after its earlier package's digest and is, like the package, never replaced by
// other bytes. `patches` says what the manifest says of them.
QString placePatches(const PublishRequest &request, const Plan &plan, const QString &part,
                     QList<PatchFile> *patches)
{
    for (const QString &earlier : request.patchFrom) {
        const QByteArray from = sha256Of(earlier);
        if (from.isEmpty())
            return QStringLiteral("cannot read %1").arg(earlier);
        const QString name = QStringLiteral("%1.from-%2.patch")
                                     .arg(plan.fileName, QString::fromLatin1(from.left(16)));
        const QString patchPart = QFileInfo(part).dir().filePath(name);
        int entries = 0;
        QString error = writePatchFile(earlier, part, patchPart, &entries);
        const QByteArray hash = sha256Of(patchPart);
        if (error.isEmpty())
            error = placeNew(patchPart, QDir(plan.output).absoluteFilePath(name), hash);
        if (!error.isEmpty())
            return error;
        patches->append({QString::fromLatin1(from),
                         plan.url.resolved(QUrl(name)).toString(QUrl::FullyEncoded),
                         QString::fromLatin1(hash), QFileInfo(patchPart).size()});
        std::printf("patch    %s (%d entries, %lld bytes)\n", qPrintable(name), entries,
                    qlonglong(patches->last().size));
    }
    return QString();
}

QString placePackage(const PublishRequest &request, const Plan &plan, UpdaterRelease *placed,
                     QList<PatchFile> *patches)
{
    const QDir outputDir(plan.output);
    if (!outputDir.mkpath(QStringLiteral(".")))
        return QStringLiteral("cannot create %1").arg(plan.output);
    const QString packagePath = outputDir.absoluteFilePath(plan.fileName);
    const QString signaturePath = packagePath + QStringLiteral(".minisig");
    const QTemporaryDir work(outputDir.absoluteFilePath(QStringLiteral(".publishing-XXXXXX")));
    if (!work.isValid())
        return QStringLiteral("cannot create a folder in %1: %2")
                .arg(plan.output, work.errorString());
    const QString part = work.filePath(plan.fileName);
    const QString signaturePart = part + QStringLiteral(".minisig");
    QString error;
    if (!writePackage(plan.root, plan.entries, part, &error))
        return error;
    UpdaterRelease &manifest = *placed;
    manifest = {request.version, plan.url.toString(QUrl::FullyEncoded),
                QString::fromLatin1(sha256Of(part)), QFileInfo(part).size(), QString()};
    if (manifest.hash.isEmpty())
        return QStringLiteral("cannot read back %1").arg(part);
    error = sameNameProblem(packagePath, manifest.hash.toLatin1());
    if (!error.isEmpty())
        return error;
    if (!plan.minisign.isEmpty()) {
        const QByteArray signature = signPackage(
                plan.minisign, part, signaturePart,
                {plan.fileName, request.version, request.revokes, request.expiresDays},
                request.secretKey, request.publicKey, &error);
        if (signature.isEmpty())
            return error;
        manifest.signature = QString::fromLatin1(signature.toBase64());
    }
    // What is in place now is this package's bytes, whichever run put it there.
    error = placeNew(part, packagePath, manifest.hash.toLatin1());
    if (error.isEmpty() && !manifest.signature.isEmpty())
        error = replace(signaturePart, signaturePath);
    if (error.isEmpty())
        std::printf("package  %s (%lld entries, %lld bytes)\n", qPrintable(packagePath),
                    qlonglong(plan.entries.size()), qlonglong(manifest.size));
    return error.isEmpty() ? placePatches(request, plan, part, patches) : error;
}

// The package first, the manifest that names it last: the application's release, or an
// updater release beside it; what the live manifest says of the other stays.
QString writeRelease(const PublishRequest &request, const Plan &plan)
{
    ReleaseManifest manifest;
    const QString unreadable = readLive(plan.output, &manifest);
    const bool updater = !request.updaterPlatform.isEmpty();
    // An application release replaces a manifest it cannot read; an updater release goes
    // beside a live one.
    if (updater && !unreadable.isEmpty())
        return unreadable;
    if (updater && manifest.url.isEmpty())
        return QStringLiteral("%1 holds no live release to add the updater to").arg(plan.output);
    if (!unreadable.isEmpty())
        manifest = ReleaseManifest();
    UpdaterRelease placed;
    QList<PatchFile> patches;
    QString error = placePackage(request, plan, &placed, &patches);
    if (!error.isEmpty())
        return error;
    if (!updater) {
        manifest.version = placed.version;
        manifest.url = placed.url;
        manifest.hash = placed.hash;
        manifest.size = placed.size;
        manifest.signature = placed.signature;
        manifest.patches = patches;
    } else {
        manifest.updaters.insert(request.updaterPlatform, placed);
    }
    const QString manifestPath = QDir(plan.output).absoluteFilePath(QStringLiteral("latest.json"));
    error = writeManifestFile(manifestPath, manifest);
    if (error.isEmpty())
        std::printf("manifest %s\nsha256   %s\n", qPrintable(manifestPath), qPrintable(placed.hash));
    return error;
}

} // namespace

QString publishRelease(const PublishRequest &request)
{
    Plan plan;
    QString error = checkRelease(request, &plan);
    if (error.isEmpty())
        error = checkOutputs(request, &plan);
    return error.isEmpty() ? writeRelease(request, plan) : error;
}

// What the live release's signature says, once it verifies with one of the vendor's keys:
// only what the vendor signed is signed anew, whoever else can write the release folder.
static QString verifyLive(const PublishRequest &request, const ReleaseManifest &manifest,
                          const QString &packagePath, SignedRelease *signedRelease)
{
    QList<QByteArray> keys = request.trustedKeys;
    if (!request.publicKey.isEmpty())
        keys.append(publicKeyLine(request.publicKey));
    if (keys.isEmpty())
        return QStringLiteral("--resign needs --public-key, to verify the live signature first");
    QFile package(packagePath);
    if (!package.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(packagePath, package.errorString());
    QByteArray blake2b;
    sha256Of(package.readAll(), &blake2b);
    const QString fileName = QFileInfo(packagePath).fileName();
    const QString refusal = checkSignature(keys, manifest.signature, blake2b, fileName,
                                           signedRelease);
    if (!refusal.isEmpty())
        return QStringLiteral("the live release's signature does not verify (%1); publish it "
                              "anew instead")
                .arg(refusal);
    if (signedRelease->version.isEmpty() || signedRelease->version != manifest.version)
        return QStringLiteral("latest.json's version \"%1\" is not the signed version \"%2\"")
                .arg(manifest.version, signedRelease->version);
    return QString();
}

QString resignRelease(const PublishRequest &request)
{
    if (request.secretKey.isEmpty())
        return QStringLiteral("--resign needs --sign");
    QString minisign;
    QString error = checkKeys(request, &minisign);
    if (!error.isEmpty())
        return error;
    const QDir outputDir(request.output);
    const QString manifestPath = outputDir.absoluteFilePath(QStringLiteral("latest.json"));
    QFile live(manifestPath);
    if (!live.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(manifestPath, live.errorString());
    ReleaseManifest manifest;
    error = parseManifest(live.readAll(), &manifest);
    const QString fileName = packageName(QUrl(manifest.url, QUrl::StrictMode), &error);
    if (!error.isEmpty())
        return QStringLiteral("%1: %2").arg(manifestPath, error);
    // The very bytes the manifest announces, and no others.
    const QString packagePath = outputDir.absoluteFilePath(fileName);
    if (sha256Of(packagePath) != manifest.hash.toLatin1())
        return QStringLiteral("%1 is not the package that %2 announces")
                .arg(packagePath, manifestPath);
    SignedRelease signedLive;
    error = verifyLive(request, manifest, packagePath, &signedLive);
    if (!error.isEmpty())
        return error;
    const QTemporaryDir work(outputDir.absoluteFilePath(QStringLiteral(".publishing-XXXXXX")));
    if (!work.isValid())
        return QStringLiteral("cannot create a folder in %1: %2")
                .arg(request.output, work.errorString());
    const QByteArray signature = signPackage(
            minisign, packagePath, work.filePath(fileName + QStringLiteral(".minisig")),
            {signedLive.file, signedLive.version, request.revokes, request.expiresDays},
            request.secretKey,
            request.publicKey, &error);
    if (signature.isEmpty())
        return error;
    manifest.signature = QString::fromLatin1(signature.toBase64());
    error = writeManifestFile(manifestPath, manifest);
    if (error.isEmpty())
        std::printf("manifest %s signed anew\n", qPrintable(manifestPath));
    return error;
}
