// Publishes a release of Pellarin: packs an application folder into the zip package that
// the updater installs, and writes the latest.json manifest that announces it.
//
//   pellarin-publish [--output <folder>] [--sign <minisign secret key>
//                    [--public-key <minisign public key>]] <application folder> <version> <URL>
//
// The package holds the folder's contents with no enclosing folder, '/' as separator,
// an entry for each empty folder and the files' Unix permissions. The manifest's hash
// is the SHA-256 of the package file exactly as written, its size the file's length.
// With --sign the minisign program signs the package (asking for the key's password as
// it always does) and the manifest's signature is the base64 of the .minisig it writes.
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

static bool writePackage(const QString &root, const QStringList &entries, const QString &target,
                         QString *error)
{
    // Written beside the target and renamed at the end, so that a server never serves
    // half a package under its final name.
    const QString part = target + QStringLiteral(".part");
    QuaZip zip(part);
    zip.setOsCode(3); // Unix, so that the permission bits are read back
    zip.setUtf8Enabled(true);
    if (!zip.open(QuaZip::mdCreate)) {
        *error = QStringLiteral("cannot write %1").arg(part);
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
                    *error = QStringLiteral("cannot pack %1").arg(path);
                    return false;
                }
            }
        }
        out.close();
        if (out.getZipError() != ZIP_OK) {
            *error = QStringLiteral("cannot pack %1").arg(path);
            return false;
        }
    }
    zip.close();
    QFile::remove(target);
    if (zip.getZipError() != ZIP_OK || !QFile::rename(part, target)) {
        *error = QStringLiteral("cannot finish %1").arg(target);
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

// Signs the package; returns the .minisig text, or an empty one with the reason.
static QByteArray sign(const QString &packagePath, const QString &secretKey,
                       const QString &publicKey, QString *error)
{
    const QString minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign.isEmpty()) {
        *error = QStringLiteral("--sign needs the minisign program, which is not installed");
        return QByteArray();
    }
    const QString signaturePath = packagePath + QStringLiteral(".minisig");
    QFile::remove(signaturePath);
    if (!runMinisign(minisign,
                     {QStringLiteral("-S"), QStringLiteral("-s"), secretKey, QStringLiteral("-x"),
                      signaturePath, QStringLiteral("-m"), packagePath})) {
        *error = QStringLiteral("minisign could not sign %1 with %2").arg(packagePath, secretKey);
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
        *error = QStringLiteral("cannot read %1").arg(signaturePath);
        return QByteArray();
    }
    return signature.readAll();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pellarin-publish"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Packs an application folder into a release package and writes latest.json."));
    const QCommandLineOption help = parser.addHelpOption();
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
            QStringLiteral("Check the signature against this minisign public key, the one "
                           "the updater is built with."),
            QStringLiteral("public key"));
    parser.addOption(publicKey);
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

    QStringList entries;
    QString error;
    if (!collect(root, &entries, &error))
        return fail(error);

    const QDir outputDir(parser.value(output));
    if (!outputDir.mkpath(QStringLiteral(".")))
        return fail(QStringLiteral("cannot create %1").arg(outputDir.path()));
    const QString packagePath = outputDir.absoluteFilePath(url.fileName());
    if (!writePackage(root, entries, packagePath, &error))
        return fail(error);
    const QByteArray hash = sha256Of(packagePath);
    if (hash.isEmpty())
        return fail(QStringLiteral("cannot read back %1").arg(packagePath));

    QByteArray signature;
    if (parser.isSet(signKey)) {
        signature = sign(packagePath, parser.value(signKey), parser.value(publicKey), &error);
        if (signature.isEmpty())
            return fail(error);
    } else if (parser.isSet(publicKey)) {
        return fail(QStringLiteral("--public-key goes with --sign"));
    }

    QJsonObject manifest{{QStringLiteral("version"), version},
                         {QStringLiteral("url"), url.toString(QUrl::FullyEncoded)},
                         {QStringLiteral("hash"), QString::fromLatin1(hash)},
                         {QStringLiteral("size"), QFileInfo(packagePath).size()}};
    if (!signature.isEmpty())
        manifest.insert(QStringLiteral("signature"), QString::fromLatin1(signature.toBase64()));
    const QString manifestPath = outputDir.absoluteFilePath(QStringLiteral("latest.json"));
    QSaveFile manifestFile(manifestPath);
    if (!manifestFile.open(QIODevice::WriteOnly)
        || manifestFile.write(QJsonDocument(manifest).toJson()) < 0 || !manifestFile.commit()) {
        return fail(QStringLiteral("cannot write %1").arg(manifestPath));
    }

    std::printf("package  %s (%lld entries, %lld bytes)\nmanifest %s\nsha256   %s\n",
                qPrintable(packagePath), qlonglong(entries.size()),
                qlonglong(QFileInfo(packagePath).size()), qPrintable(manifestPath),
                hash.constData());
    return 0;
}
