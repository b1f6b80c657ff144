// Publishes a release of Pellarin: packs an application folder into the zip package that
// the updater installs, and writes the latest.json manifest that announces it; or checks
// a published release as this build's updater would take it.
//
//   pellarin-publish [--output <folder>] [--sign <minisign secret key>
//                    [--public-key <minisign public key>] [--revoke <key id or .pub>]...
//                    [--expires <days>]] [--patch-from <earlier package>]...
//                    <application folder> <version> <URL>
//   pellarin-publish --updater <platform> [--output <folder>] [--sign …] <updater version
//                    folder> <version> <URL>
//   pellarin-publish --resign <release folder> --sign <minisign secret key> [--public-key …]
//                    [--revoke <key id or .pub>]... [--expires <days>]
//   pellarin-publish --check [<manifest URL>] [--ca <PEM file>] [--public-key <minisign.pub>]
//                    [--check-patches <earlier package URL>]...
//
// The manifest's hash is the SHA-256 of the package file exactly as written, its size
// the file's length. With --sign the minisign program signs the package (asking for the
// key's password as it always does) and the manifest's signature is the base64 of the
// .minisig it writes.
#include "check.h"
#include "minisign.h"
#include "publish.h"
#include "releaseconfig.h"
#include "signature.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "pellarin-publish: %s\n", qPrintable(message));
    return 1;
}

struct Options
{
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Displays this help.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Displays the tool's version.")};
    QCommandLineOption output{{QStringLiteral("o"), QStringLiteral("output")},
                              QStringLiteral("Folder for the package and latest.json."),
                              QStringLiteral("folder"),
                              QStringLiteral(".")};
    QCommandLineOption sign{
            QStringLiteral("sign"),
            QStringLiteral("Sign the package with this minisign secret key (runs minisign)."),
            QStringLiteral("secret key")};
    QCommandLineOption publicKey{
            QStringLiteral("public-key"),
            QStringLiteral("The minisign public key the updater is built with: the signature "
                           "is checked against it."),
            QStringLiteral("public key")};
    QCommandLineOption check{
            QStringLiteral("check"),
            QStringLiteral("Fetch and check the release that this build's updater gets, or the "
                           "one that the manifest URL given announces, as this build's updater "
                           "would (--ca and --public-key stand in for the built-in ones).")};
    QCommandLineOption revoke{
            QStringLiteral("revoke"),
            QStringLiteral("With --sign: the release revokes this key (its 16-digit id as "
                           "minisign prints it, or its .pub file); updaters that install it "
                           "refuse that key's signatures for good. Repeatable."),
            QStringLiteral("key id or .pub")};
    QCommandLineOption expires{
            QStringLiteral("expires"),
            QStringLiteral("With --sign: updaters refuse the release this many days from now, "
                           "unless it is signed anew (--resign)."),
            QStringLiteral("days")};
    QCommandLineOption updater{
            QStringLiteral("updater"),
            QStringLiteral("Publish a release of the updater itself for this platform "
                           "(windows-x86_64, linux-x86_64): the folder is one whole updater "
                           "version, added to the live latest.json beside the application's "
                           "release."),
            QStringLiteral("platform")};
    QCommandLineOption patchFrom{
            QStringLiteral("patch-from"),
            QStringLiteral("Also publish a patch file from this earlier package (repeatable; the "
                           "last three releases' are advised), with which updaters that "
                           "installed it fetch less."),
            QStringLiteral("earlier package")};
    QCommandLineOption checkPatches{
            QStringLiteral("check-patches"),
            QStringLiteral("With --check: also rebuild the package from this earlier package "
                           "(its URL; repeatable) and its patch file, as an updater that "
                           "installed it would, and say whether the result matches."),
            QStringLiteral("earlier package URL")};
    QCommandLineOption resign{
            QStringLiteral("resign"),
            QStringLiteral("Sign the live release in this folder anew, with a new time (and "
                           "--expires, --revoke), without touching its package; only "
                           "latest.json is replaced. Its signature must verify first, with "
                           "--public-key or a key this build trusts; the file and version "
                           "are taken from it."),
            QStringLiteral("folder")};
    QCommandLineOption ca{QStringLiteral("ca"),
                          QStringLiteral("With --check: the authority the updater is built with "
                                         "(UPDATER_TRUSTED_CA)."),
                          QStringLiteral("PEM file")};
};

// This build's settings, with what the command line gives instead.
int check(const QCommandLineParser &parser, const Options &options)
{
    if (parser.isSet(options.sign) || parser.isSet(options.output) || parser.isSet(options.resign)
        || parser.isSet(options.updater) || parser.isSet(options.patchFrom))
        return fail(
                QStringLiteral("--check goes with --ca, --public-key and --check-patches only"));
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() > 1)
        return fail(
                QStringLiteral("--check takes the manifest's URL alone, or nothing; see --help"));
    Settings settings = buildSettings();
    if (!arguments.isEmpty())
        settings.manifestLocation = arguments.first();
    if (parser.isSet(options.ca)) {
        QFile file(parser.value(options.ca));
        if (!file.open(QIODevice::ReadOnly))
            return fail(
                    QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        settings.vendorAuthorities = QSslCertificate::fromData(file.readAll());
        if (settings.vendorAuthorities.isEmpty())
            return fail(QStringLiteral("%1 holds no PEM certificate").arg(file.fileName()));
    }
    if (parser.isSet(options.publicKey)) {
        settings.signingKeys = {publicKeyLine(parser.value(options.publicKey))};
        if (settings.signingKeys.first().isEmpty()) {
            return fail(QStringLiteral("%1 is not a minisign public key")
                                .arg(parser.value(options.publicKey)));
        }
    }
    return checkRelease(settings, parser.values(options.checkPatches));
}

// What --revoke and --expires ask for, or why they cannot be.
QString signedFields(const QCommandLineParser &parser, const Options &options,
                     PublishRequest *request)
{
    const bool signing = parser.isSet(options.sign);
    if (!signing && (parser.isSet(options.revoke) || parser.isSet(options.expires)))
        return QStringLiteral("--revoke and --expires go with --sign");
    for (const QString &id : parser.values(options.revoke)) {
        // The key's .pub file, or its id exactly as minisign prints it: a digit lost would
        // revoke a key that is nobody's, and leave the one meant.
        const bool whole = id.size() == 16
                && std::all_of(id.cbegin(), id.cend(), [](QChar c) { return isxdigit(c.unicode()); });
        const QString keyId = QFileInfo(id).isFile() ? publicKeyId(publicKeyLine(id))
                : whole                              ? normalKeyId(id)
                                                     : QString();
        if (keyId.isEmpty())
            return QStringLiteral("%1 is neither a key id (16 hex digits) nor a minisign public "
                                  "key file; give the leading zeros that minisign leaves out")
                    .arg(id);
        request->revokes.append(keyId);
    }
    bool number = true;
    if (parser.isSet(options.expires))
        request->expiresDays = parser.value(options.expires).toInt(&number);
    if (!number || (parser.isSet(options.expires) && request->expiresDays <= 0))
        return QStringLiteral("--expires takes a whole number of days");
    return QString();
}

int publish(const QCommandLineParser &parser, const Options &options)
{
    if (parser.isSet(options.ca))
        return fail(QStringLiteral("--ca goes with --check"));
    if (parser.isSet(options.publicKey) && !parser.isSet(options.sign))
        return fail(QStringLiteral("--public-key goes with --sign (or --check)"));
    const QStringList arguments = parser.positionalArguments();
    const bool resigning = parser.isSet(options.resign);
    if (resigning && (!arguments.isEmpty() || parser.isSet(options.output)))
        return fail(QStringLiteral("--resign takes the release folder alone; see --help"));
    if (!resigning && arguments.size() != 3)
        return fail(QStringLiteral("expected <folder> <version> <url>; see --help"));
    PublishRequest request{arguments.value(0),
                           arguments.value(1),
                           arguments.value(2),
                           resigning ? parser.value(options.resign) : parser.value(options.output),
                           parser.value(options.sign),
                           parser.value(options.publicKey),
                           {},
                           0,
                           parser.value(options.updater),
                           parser.values(options.patchFrom),
                           buildSettings().signingKeys};
    if (resigning && parser.isSet(options.updater))
        return fail(QStringLiteral("--resign and --updater go apart"));
    if (!request.patchFrom.isEmpty() && (resigning || parser.isSet(options.updater)))
        return fail(QStringLiteral("--patch-from goes with an application release"));
    QString error = signedFields(parser, options, &request);
    if (error.isEmpty())
        error = resigning ? resignRelease(request) : publishRelease(request);
    return error.isEmpty() ? 0 : fail(error);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pellarin-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral(UPDATER_VERSION));

    const Options options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Packs an application folder into a release package and writes latest.json; or,\n"
            "with --check, fetches a published release as the updater would."));
    parser.addOptions({options.help, options.version, options.output, options.sign,
                       options.publicKey, options.revoke, options.expires, options.updater,
                       options.patchFrom, options.resign, options.check, options.checkPatches,
                       options.ca});
    parser.addPositionalArgument(QStringLiteral("folder"),
                                 QStringLiteral("The application, with bin/PellarinApp.exe."));
    parser.addPositionalArgument(QStringLiteral("version"), QStringLiteral("The release's name."));
    parser.addPositionalArgument(QStringLiteral("url"),
                                 QStringLiteral("Where the package will be served (https)."));
    // Not process(): on Windows it shows help and errors in a message box whenever no
    // console window is attached (output to a pipe or a file), and waits for a click.
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(options.help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(options.version)) {
        std::printf("pellarin-publish %s\n", UPDATER_VERSION);
        return 0;
    }
    return parser.isSet(options.check) ? check(parser, options) : publish(parser, options);
}
