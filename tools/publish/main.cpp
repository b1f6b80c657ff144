// Publishes a release of Pellarin: packs an application folder into the zip package that
// the updater installs, and writes the latest.json manifest that announces it; or checks
// a published release as this build's updater would take it.
//
//   pellarin-publish [--output <folder>] [--sign <minisign secret key>
//                    [--public-key <minisign public key>]] <application folder> <version> <URL>
//   pellarin-publish --check [<manifest URL>] [--ca <PEM file>] [--public-key <minisign.pub>]
//
// The manifest's hash is the SHA-256 of the package file exactly as written, its size
// the file's length. With --sign the minisign program signs the package (asking for the
// key's password as it always does) and the manifest's signature is the base64 of the
// .minisig it writes.
#include "check.h"
#include "minisign.h"
#include "publish.h"
#include "releaseconfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSslCertificate>

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
    QCommandLineOption ca{QStringLiteral("ca"),
                          QStringLiteral("With --check: the authority the updater is built with "
                                         "(UPDATER_TRUSTED_CA)."),
                          QStringLiteral("PEM file")};
};

// This build's settings, with what the command line gives instead.
int check(const QCommandLineParser &parser, const Options &options)
{
    if (parser.isSet(options.sign) || parser.isSet(options.output))
        return fail(QStringLiteral("--check goes with --ca and --public-key only"));
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
        settings.signingKey = publicKeyLine(parser.value(options.publicKey));
        if (settings.signingKey.isEmpty()) {
            return fail(QStringLiteral("%1 is not a minisign public key")
                                .arg(parser.value(options.publicKey)));
        }
    }
    return checkRelease(settings);
}

int publish(const QCommandLineParser &parser, const Options &options)
{
    if (parser.isSet(options.ca))
        return fail(QStringLiteral("--ca goes with --check"));
    if (parser.isSet(options.publicKey) && !parser.isSet(options.sign))
        return fail(QStringLiteral("--public-key goes with --sign (or --check)"));
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 3)
        return fail(QStringLiteral("expected <folder> <version> <url>; see --help"));
    const QString error = publishRelease({arguments.at(0), arguments.at(1), arguments.at(2),
                                          parser.value(options.output), parser.value(options.sign),
                                          parser.value(options.publicKey)});
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
                       options.publicKey, options.check, options.ca});
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
