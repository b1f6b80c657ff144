// Publishes a release of Pellarin: packs an application folder into the zip package that
// the updater installs, and writes the latest.json manifest that announces it.
//
//   pellarin-publish [--output <folder>] [--sign <minisign secret key>
//                    [--public-key <minisign public key>]] <application folder> <version> <URL>
//   pellarin-publish --check <manifest URL> [--ca <PEM file>] [--public-key <minisign.pub>]
//
// Everything is checked before anything is written, and the outputs are written under
// temporary names and renamed into place, the package first and latest.json last, so a
// live release folder never names a package that is not there.
//
// The package holds the folder's contents with no enclosing folder, '/' as separator,
// an entry for each empty folder and the files' Unix permissions. The manifest's hash
// is the SHA-256 of the package file exactly as written, its size the file's length.
// With --sign the minisign program signs the package (asking for the key's password as
// it always does) and the manifest's signature is the base64 of the .minisig it writes.
#include "check.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

#include <cstdio>
#include <ctime>

#ifdef Q_OS_WIN
#    include <windows.h>
#else
#    include <cerrno>
#    include <cstring>
#endif

static int fail(const QString &message)
{
    std::fprintf(stderr, "pellarin-publish: %s\n", qPrintable(message));
    return 1;
}

// Files and empty folders below `root`, relative to it, in a stable order; folders end
// in '/'. Fails on a symbolic link: a package holds plain files and folders only.
static bool collect(const QString &root, QStringList *entries, QString *error)
{
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString name = QDir(root).relativeFilePath(path);
        if (info.isSymLink()) {
            *error = QStringLiteral("%1 is a symbolic link; a package holds plain files and "
                                    "folders only")
                             .arg(path);
            return false;
        }
        if (info.isDir()) {
            if (QDir(path).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
                                   | QDir::System)) {
                entries->append(name + QLatin1Char('/'));
            }
        } else if (info.isFile()) {
            entries->append(name);
        } else {
            *error = QStringLiteral("%1 is neither a file nor a folder").arg(path);
            return false;
        }
    }
    entries->sort();
    return true;
}

// Replaces `to` with `from` in one step, where the system can.
static bool replace(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    *error = QStringLiteral("cannot move %1 to %2: error %3").arg(from, to).arg(GetLastError());
#else
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = QStringLiteral("cannot move %1 to %2: %3")
                     .arg(from, to, QString::fromLocal8Bit(std::strerror(errno)));
#endif
    return false;
}

static bool writePackage(const QString &root, const QStringList &entries, const QString &target,
                         QString *error)
{
    // Made first with QFile, which says why it cannot be.
    QFile probe(target);
    if (!probe.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(target, probe.errorString());
        return false;
    }
    probe.close();
    QuaZip zip(target);
    zip.setOsCode(3); // Unix, so that the permission bits are read back
    zip.setUtf8Enabled(true);
    if (!zip.open(QuaZip::mdCreate)) {
        *error = QStringLiteral("cannot write %1").arg(target);
        return false;
    }
    for (const QString &name : entries) {
        const QString path = root + QLatin1Char('/') + name;
        QuaZipNewInfo info(name, path);
        QuaZipFile out(&zip);
        if (!out.open(QIODevice::WriteOnly, info)) {
            *error = QStringLiteral("cannot add %1 to the package").arg(name);
            return false;
        }
        if (!name.endsWith(QLatin1Char('/'))) {
            QFile in(path);
            if (!in.open(QIODevice::ReadOnly)) {
                *error = QStringLiteral("cannot read %1: %2").arg(path, in.errorString());
                return false;
            }
            while (!in.atEnd()) {
                const QByteArray chunk = in.read(1 << 20);
                if (chunk.isEmpty() || out.write(chunk) != chunk.size()) {
                    *error = QStringLiteral("cannot pack %1: %2").arg(path, out.errorString());
                    return false;
                }
            }
        }
        out.close();
        if (out.getZipError() != ZIP_OK) {
            *error = QStringLiteral("cannot pack %1 (zip error %2)").arg(path).arg(out.getZipError());
            return false;
        }
    }
    zip.close();
    if (zip.getZipError() != ZIP_OK) {
        *error = QStringLiteral("cannot finish %1 (zip error %2)").arg(target).arg(zip.getZipError());
        return false;
    }
    return true;
}

static QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

// Runs minisign with the terminal as its own, so that it can ask for a password.
static bool runMinisign(const QString &program, const QStringList &arguments)
{
    QProcess minisign;
    minisign.setProcessChannelMode(QProcess::ForwardedChannels);
    minisign.setInputChannelMode(QProcess::ForwardedInputChannel);
    minisign.start(program, arguments);
    return minisign.waitForFinished(-1) && minisign.exitStatus() == QProcess::NormalExit
            && minisign.exitCode() == 0;
}

// Signs `packagePath` into `signaturePath` as the package called `fileName`, and checks
// the signature with the public key when there is one; returns the .minisig text, or an
// empty one with the reason.
static QByteArray sign(const QString &minisign, const QString &packagePath,
                       const QString &signaturePath, const QString &fileName,
                       const QString &secretKey, const QString &publicKey, QString *error)
{
    // The trusted comment minisign would write for the file under its final name.
    const QString comment = QStringLiteral("timestamp:%1\tfile:%2\thashed")
                                    .arg(qint64(std::time(nullptr)))
                                    .arg(fileName);
    if (!runMinisign(minisign,
                     {QStringLiteral("-S"), QStringLiteral("-s"), secretKey, QStringLiteral("-t"),
                      comment, QStringLiteral("-x"), signaturePath, QStringLiteral("-m"),
                      packagePath})) {
        *error = QStringLiteral("minisign could not sign %1 with %2").arg(fileName, secretKey);
        return QByteArray();
    }
    if (!publicKey.isEmpty()
        && !runMinisign(minisign,
                        {QStringLiteral("-V"), QStringLiteral("-q"), QStringLiteral("-p"), publicKey,
                         QStringLiteral("-x"), signaturePath, QStringLiteral("-m"), packagePath})) {
        *error = QStringLiteral("the signature made with %1 does not verify with %2: the keys "
                                "are not a pair")
                         .arg(secretKey, publicKey);
        return QByteArray();
    }
    QFile signature(signaturePath);
    if (!signature.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(signaturePath, signature.errorString());
        return QByteArray();
    }
    return signature.readAll();
}

// A minisign public key file's key line (base64), or nothing.
static QByteArray publicKeyLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArrayList lines = file.readAll().split('\n');
    const QByteArray key = lines.value(1).trimmed();
    return key.startsWith("RW") ? key : QByteArray();
}

// Whether `path` is `folder` or lies inside it.
static bool isInside(const QString &path, const QString &folder)
{
    const auto real = [](const QString &p) {
        const QString canonical = QFileInfo(p).canonicalFilePath();
        return QDir::cleanPath(canonical.isEmpty() ? QFileInfo(p).absoluteFilePath() : canonical)
                + QLatin1Char('/');
    };
    return real(path).startsWith(real(folder));
}

static int check(const QCommandLineParser &parser, const QCommandLineOption &checkOption,
                 const QCommandLineOption &ca, const QCommandLineOption &publicKey)
{
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("--check takes the manifest's URL alone; see --help"));
    QList<QSslCertificate> authorities;
    if (parser.isSet(ca)) {
        authorities = QSslCertificate::fromPath(parser.value(ca));
        if (authorities.isEmpty())
            return fail(QStringLiteral("%1 holds no PEM certificate").arg(parser.value(ca)));
    }
    QByteArray key;
    if (parser.isSet(publicKey)) {
        key = publicKeyLine(parser.value(publicKey));
        if (key.isEmpty())
            return fail(
                    QStringLiteral("%1 is not a minisign public key").arg(parser.value(publicKey)));
    }
    return checkRelease(parser.value(checkOption), authorities, key);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pellarin-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral(UPDATER_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Packs an application folder into a release package and writes latest.json; or,\n"
            "with --check, fetches a published release as the updater would."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Displays the tool's version."));
    parser.addOption(versionOption);
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("Folder for the package and latest.json."),
                                    QStringLiteral("folder"), QStringLiteral("."));
    parser.addOption(output);
    const QCommandLineOption signKey(
            QStringLiteral("sign"),
            QStringLiteral("Sign the package with this minisign secret key (runs minisign)."),
            QStringLiteral("secret key"));
    parser.addOption(signKey);
    const QCommandLineOption publicKey(
            QStringLiteral("public-key"),
            QStringLiteral("The minisign public key the updater is built with: the signature "
                           "is checked against it."),
            QStringLiteral("public key"));
    parser.addOption(publicKey);
    const QCommandLineOption checkOption(
            QStringLiteral("check"),
            QStringLiteral("Fetch and check the release this manifest announces, as an "
                           "updater built with --ca and --public-key would."),
            QStringLiteral("manifest URL"));
    parser.addOption(checkOption);
    const QCommandLineOption ca(QStringLiteral("ca"),
                                QStringLiteral("With --check: the authority the updater is "
                                               "built with (UPDATER_TRUSTED_CA)."),
                                QStringLiteral("PEM file"));
    parser.addOption(ca);
    parser.addPositionalArgument(QStringLiteral("folder"),
                                 QStringLiteral("The application, with bin/PellarinApp.exe."));
    parser.addPositionalArgument(QStringLiteral("version"), QStringLiteral("The release's name."));
    parser.addPositionalArgument(QStringLiteral("url"),
                                 QStringLiteral("Where the package will be served (https)."));
    // Not process(): on Windows it shows help and errors in a message box whenever no
    // console window is attached (output to a pipe or a file), and waits for a click.
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("pellarin-publish %s\n", UPDATER_VERSION);
        return 0;
    }
    if (parser.isSet(checkOption)) {
        if (parser.isSet(signKey) || parser.isSet(output))
            return fail(QStringLiteral("--check goes with --ca and --public-key only"));
        return check(parser, checkOption, ca, publicKey);
    }
    if (parser.isSet(ca))
        return fail(QStringLiteral("--ca goes with --check"));

    // Everything that can be known is checked before anything is written.
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 3)
        return fail(QStringLiteral("expected <folder> <version> <url>; see --help"));
    const QString root = QDir(arguments.at(0)).absolutePath();
    const QString version = arguments.at(1);
    const QUrl url(arguments.at(2), QUrl::StrictMode);

    if (!QFileInfo(root).isDir())
        return fail(QStringLiteral("%1 is not a folder").arg(root));
    if (!QFileInfo(root + QStringLiteral("/bin/PellarinApp.exe")).isFile()) {
        return fail(QStringLiteral("%1 holds no bin/PellarinApp.exe; the updater starts that "
                                   "file, so a package without it cannot be installed")
                            .arg(root));
    }
    if (version.trimmed().isEmpty())
        return fail(QStringLiteral("the version must not be empty"));
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty()
        || url.fileName().isEmpty()) {
        return fail(QStringLiteral("%1 is not an https URL that ends in the package's file name")
                            .arg(arguments.at(2)));
    }
    const QString fileName = url.fileName();
    if (fileName.compare(QLatin1String("latest.json"), Qt::CaseInsensitive) == 0)
        return fail(QStringLiteral("the package cannot be named latest.json: the manifest is"));
    QString minisign;
    if (parser.isSet(signKey)) {
        minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
        if (minisign.isEmpty())
            return fail(
                    QStringLiteral("--sign needs the minisign program, which is not installed"));
        for (const QString &key : {parser.value(signKey), parser.value(publicKey)}) {
            QFile file(key);
            if (!key.isEmpty() && !file.open(QIODevice::ReadOnly))
                return fail(QStringLiteral("cannot read %1: %2").arg(key, file.errorString()));
        }
    } else if (parser.isSet(publicKey)) {
        return fail(QStringLiteral("--public-key goes with --sign (or --check)"));
    }
    const QString outputPath = QFileInfo(parser.value(output)).absoluteFilePath();
    if (isInside(outputPath, root)) {
        return fail(QStringLiteral("the output folder %1 is inside %2, and would be packed into "
                                   "the next release")
                            .arg(outputPath, root));
    }
    QStringList entries;
    QString error;
    if (!collect(root, &entries, &error))
        return fail(error);

    // Written under temporary names, then put in place: the package (and its signature)
    // first, the manifest that names them last.
    const QDir outputDir(outputPath);
    if (!outputDir.mkpath(QStringLiteral(".")))
        return fail(QStringLiteral("cannot create %1").arg(outputPath));
    const QString packagePath = outputDir.absoluteFilePath(fileName);
    const QString signaturePath = packagePath + QStringLiteral(".minisig");
    const QString part = QStringLiteral(".part");
    const auto removeParts = qScopeGuard([&] {
        QFile::remove(packagePath + part);
        QFile::remove(signaturePath + part);
    });
    if (!writePackage(root, entries, packagePath + part, &error))
        return fail(error);
    const QByteArray hash = sha256Of(packagePath + part);
    if (hash.isEmpty())
        return fail(QStringLiteral("cannot read back %1").arg(packagePath + part));
    QByteArray signature;
    if (parser.isSet(signKey)) {
        signature = sign(minisign, packagePath + part, signaturePath + part, fileName,
                         parser.value(signKey), parser.value(publicKey), &error);
        if (signature.isEmpty())
            return fail(error);
    }
    const qint64 size = QFileInfo(packagePath + part).size();
    if (!replace(packagePath + part, packagePath, &error)
        || (!signature.isEmpty() && !replace(signaturePath + part, signaturePath, &error))) {
        return fail(error);
    }

    QJsonObject manifest{{QStringLiteral("version"), version},
                         {QStringLiteral("url"), url.toString(QUrl::FullyEncoded)},
                         {QStringLiteral("hash"), QString::fromLatin1(hash)},
                         {QStringLiteral("size"), size}};
    if (!signature.isEmpty())
        manifest.insert(QStringLiteral("signature"), QString::fromLatin1(signature.toBase64()));
    const QString manifestPath = outputDir.absoluteFilePath(QStringLiteral("latest.json"));
    QSaveFile manifestFile(manifestPath);
    if (!manifestFile.open(QIODevice::WriteOnly)
        || manifestFile.write(QJsonDocument(manifest).toJson()) < 0 || !manifestFile.commit()) {
        return fail(
                QStringLiteral("cannot write %1: %2").arg(manifestPath, manifestFile.errorString()));
    }

    std::printf("package  %s (%lld entries, %lld bytes)\nmanifest %s\nsha256   %s\n",
                qPrintable(packagePath), qlonglong(entries.size()), qlonglong(size),
                qPrintable(manifestPath), hash.constData());
    return 0;
}
