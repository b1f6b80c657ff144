#include "connectproxy.h"
#include "httpsserver.h"
#include "releasemanifest.h"
#include "signature.h"
#include "testenv.h"
#include "zipbuilder.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <quazip.h>
#include <quazipfileinfo.h>

class tst_Publish : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void package();
    void concurrent_data();
    void concurrent();
    void refusals_data();
    void refusals();
    void helpAndVersion();
    void check_data();
    void check();
    void resign();
    void updaterRelease();

private:
    void write(const QString &name, const QByteArray &data, QFile::Permissions permissions = {});
    int publish(const QStringList &arguments, QByteArray *err = nullptr,
                const QByteArray &input = {});

    std::unique_ptr<TestEnv> env;
    QString app;
    QString out;
};

void tst_Publish::init()
{
    env = std::make_unique<TestEnv>();
    app = env->filePath(QStringLiteral("app"));
    out = env->filePath(QStringLiteral("www"));
}

void tst_Publish::cleanup()
{
    env.reset();
}

void tst_Publish::write(const QString &name, const QByteArray &data, QFile::Permissions permissions)
{
    const QString path = app + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
    if (permissions)
        QVERIFY(file.setPermissions(permissions));
}

int tst_Publish::publish(const QStringList &arguments, QByteArray *err, const QByteArray &input)
{
    QProcess tool;
    tool.start(QStringLiteral(PUBLISH_TOOL), arguments);
    tool.write(input);
    tool.closeWriteChannel();
    tool.waitForFinished();
    if (err)
        *err = tool.readAllStandardError();
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

void tst_Publish::package()
{
    const QFile::Permissions exe = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
            | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    write("bin/PellarinApp.exe", "#!/bin/sh\n", exe);
    write("lib/libpellarin.so.1", QByteArray(100000, 'l'));
    write("share/doc/readme.txt", "Pellarin");
    QVERIFY(QDir().mkpath(app + "/cache/empty"));

    const QString url = QStringLiteral("https://releases.pellarin.example/QVX/release/p-4.0.zip");
    QCOMPARE(publish({"--output", out, app, "4.0 beta", url}), 0);

    QFile zipFile(out + "/p-4.0.zip");
    QVERIFY(zipFile.open(QIODevice::ReadOnly));
    const QByteArray bytes = zipFile.readAll();
    QFile manifestFile(out + "/latest.json");
    QVERIFY(manifestFile.open(QIODevice::ReadOnly));
    const QJsonObject manifest = QJsonDocument::fromJson(manifestFile.readAll()).object();
    QCOMPARE(manifest.value("version").toString(), QStringLiteral("4.0 beta"));
    QCOMPARE(manifest.value("url").toString(), url);
    QCOMPARE(manifest.value("hash").toString(), hexDigest(bytes));
    QCOMPARE(manifest.value("size").toInteger(-1), bytes.size());
    QVERIFY(!QFile::exists(out + "/p-4.0.zip.part"));
    // The same release again makes the same bytes, which may stand under the same name.
    QCOMPARE(publish({"--output", out, app, "4.0 beta", url}), 0);
    QCOMPARE(readFile(out + "/p-4.0.zip"), bytes);

    QuaZip zip(out + "/p-4.0.zip");
    QVERIFY(zip.open(QuaZip::mdUnzip));
    QStringList names;
    QHash<QString, QFile::Permissions> permissions;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        QVERIFY(zip.getCurrentFileInfo(&info));
        names.append(info.name);
        permissions.insert(info.name, info.getPermissions());
    }
    QCOMPARE(names,
             QStringList({"bin/PellarinApp.exe", "cache/empty/", "lib/libpellarin.so.1",
                          "share/doc/readme.txt"}));
    QVERIFY(permissions.value("bin/PellarinApp.exe") & QFile::ExeOther);
    QVERIFY(!(permissions.value("share/doc/readme.txt") & QFile::ExeOwner));
}

void tst_Publish::concurrent_data()
{
    QTest::addColumn<bool>("sameRelease");

    QTest::newRow("the same release twice at once") << true;
    QTest::newRow("two releases at once under one name") << false;
}

void tst_Publish::concurrent()
{
    QFETCH(bool, sameRelease);

    // Large enough that the two runs write at the same time.
    write("bin/PellarinApp.exe", noise(24 * 1024 * 1024));
    if (!sameRelease)
        write("../other/bin/PellarinApp.exe", noise(24 * 1024 * 1024, 1));
    // A link left where a run once wrote its package is neither followed nor published.
    const QString outside = env->filePath(QStringLiteral("outside.txt"));
    QVERIFY(QDir().mkpath(out) && QFile::link(outside, out + "/p.zip.part"));

    const QString url = QStringLiteral("https://releases.pellarin.example/p.zip");
    QProcess first;
    QProcess second;
    first.start(QStringLiteral(PUBLISH_TOOL), {"--output", out, app, "1", url});
    second.start(QStringLiteral(PUBLISH_TOOL),
                 {"--output", out, sameRelease ? app : env->filePath("other"), "2", url});
    QVERIFY(first.waitForFinished(60000) && second.waitForFinished(60000));

    const int succeeded = int(first.exitCode() == 0) + int(second.exitCode() == 0);
    QCOMPARE(succeeded, sameRelease ? 2 : 1);
    const QByteArray refusal = first.readAllStandardError() + second.readAllStandardError();
    QVERIFY2(sameRelease == refusal.isEmpty(), refusal);
    QVERIFY(sameRelease || refusal.contains("publish this release under a new name"));
    // What the manifest names is what is in place, whole.
    const QJsonObject manifest = QJsonDocument::fromJson(readFile(out + "/latest.json")).object();
    QCOMPARE(manifest.value("hash").toString(), hexDigest(readFile(out + "/p.zip")));
    QuaZip zip(out + "/p.zip");
    QVERIFY(zip.open(QuaZip::mdUnzip) && zip.goToFirstFile());
    QVERIFY(!QFile::exists(outside));
}

void tst_Publish::refusals_data()
{
    QTest::addColumn<bool>("withExecutable");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("message");

    const QString good = QStringLiteral("https://releases.pellarin.example/p.zip");
    const QString key = QStringLiteral(TEST_CERT_DIR "/minisign.key");
    const QString pub = QStringLiteral(TEST_CERT_DIR "/minisign.pub");
    QTest::newRow("no executable")
            << false << good << QStringList() << QByteArray("holds no bin/PellarinApp.exe");
    QTest::newRow("plain http") << true << QStringLiteral("http://releases.pellarin.example/p.zip")
                                << QStringList() << QByteArray("is not an https URL");
    QTest::newRow("no file name") << true << QStringLiteral("https://releases.pellarin.example/")
                                  << QStringList() << QByteArray("is not an https URL");
    QTest::newRow("package named latest.json")
            << true << QStringLiteral("https://releases.pellarin.example/Latest.json")
            << QStringList() << QByteArray("cannot be named latest.json");
    QTest::newRow("public key without --sign") << true << good << QStringList{"--public-key", pub}
                                               << QByteArray("--public-key goes with --sign");
    QTest::newRow("no minisign program") << true << good << QStringList{"--sign", key, "%NOPATH%"}
                                         << QByteArray("--sign needs the minisign program");
    QTest::newRow("no secret key")
            << true << good << QStringList{"--sign", key + ".missing"} << QByteArray("cannot read");
    const QString another = QStringLiteral("https://releases.pellarin.example/p-4.0.zip");
    QTest::newRow("keys not a pair")
            << true << another << QStringList{"--sign", key, "--public-key", "%OTHER%"}
            << QByteArray("the keys are not a pair");
    QTest::newRow("wrong password") << true << another << QStringList{"--sign", "%LOCKED%"}
                                    << QByteArray("Wrong password for that key");
    QTest::newRow("encoded NUL in the name")
            << true << "https://releases.pellarin.example/QVX/release/latest.json%00.zip"
            << QStringList() << QByteArray("does not end in a plain file name");
    QTest::newRow("encoded slash in the name")
            << true << "https://releases.pellarin.example/a%2Fb.zip" << QStringList()
            << QByteArray("does not end in a plain file name");
    QTest::newRow("other bytes under a live package's name")
            << true << good << QStringList() << QByteArray("publish this release under a new name");
    QTest::newRow("output inside the application")
            << true << good << QStringList{"%INSIDE%"} << QByteArray("would be packed");
    QTest::newRow("a name the updater skips")
            << true << good << QStringList{"%COLON%"} << QByteArray("the updater skips names");
    QTest::newRow("an updater release without the updater's program")
            << true << good << QStringList{"--updater", "linux-x86_64"}
            << QByteArray("holds no PellarinUpdater;");
    // Every updater compares versions as dotted numbers that fit its arithmetic.
    QTest::newRow("an updater version that is not dotted numbers")
            << true << good << QStringList{"--updater", "linux-x86_64", "%VERSION%1.2.0-rc1"}
            << QByteArray("is not dotted numbers");
    QTest::newRow("an updater version with a part of ten digits")
            << true << good << QStringList{"--updater", "linux-x86_64", "%VERSION%1.1000000000"}
            << QByteArray("is not dotted numbers");
    // A tab would add a field to the signature, read before the real one.
    QTest::newRow("a version with a tab")
            << true << good << QStringList{"%VERSION%4.0\ttimestamp:9223372036854775807"}
            << QByteArray("the version holds a control character");
    QTest::newRow("a key id that lost a digit")
            << true << another << QStringList{"--sign", key, "--revoke", "E43A85B65256C59"}
            << QByteArray("E43A85B65256C59 is neither a key id (16 hex digits)");
    QTest::newRow("an updater release for no known platform")
            << true << good << QStringList{"--updater", "beos-m68k"}
            << QByteArray("beos-m68k is no platform of the updater");
    QTest::newRow("a release that revokes its own key")
            << true << another << QStringList{"--sign", key, "--revoke", "%OWNID%"}
            << QByteArray("a release never revokes its own key");
}

void tst_Publish::refusals()
{
    QFETCH(bool, withExecutable);
    QFETCH(QString, url);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, message);

    write(withExecutable ? "bin/PellarinApp.exe" : "bin/pellarin", "#!/bin/sh\n");
    QString version = QStringLiteral("4.0");
    const QStringList versions = options.filter("%VERSION%");
    if (!versions.isEmpty()) {
        version = versions.first().mid(9);
        options.removeAll(versions.first());
        write("PellarinUpdater", "#!/bin/sh\n");
    }
    if (options.removeAll("%COLON%"))
        write("data/report 12:00.txt", "noon");
    const qsizetype other = options.indexOf("%OTHER%");
    if (other >= 0) {
        options[other] = env->filePath("other.pub");
        QCOMPARE(QProcess::execute(
                         MINISIGN_PROGRAM,
                         {"-G", "-W", "-p", options.at(other), "-s", env->filePath("other.key")}),
                 0);
    }
    const qsizetype own = options.indexOf("%OWNID%");
    if (own >= 0)
        options[own] = QString::fromLatin1(
                readFile(TEST_CERT_DIR "/minisign.pub").split('\n').value(0).split(' ').last())
                               .rightJustified(16, '0');
    const qsizetype locked = options.indexOf("%LOCKED%");
    if (locked >= 0) {
        options[locked] = env->filePath("locked.key");
        QProcess keygen;
        keygen.start(MINISIGN_PROGRAM,
                     {"-G", "-p", env->filePath("locked.pub"), "-s", options[locked]});
        keygen.write("right\nright\n");
        keygen.closeWriteChannel();
        QVERIFY(keygen.waitForFinished() && keygen.exitCode() == 0);
    }
    // A live release folder, which a refusal must leave as it was.
    const QString live = options.removeAll("%INSIDE%") ? app + "/www" : out;
    QVERIFY(QDir().mkpath(live));
    const QMap<QString, QByteArray> before{{"latest.json", "the live manifest"},
                                           {"p.zip", "the live package"}};
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        QFile file(live + "/" + it.key());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(it.value());
    }
    // The tool finds no programs at all.
    const QByteArray path = qgetenv("PATH");
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
    if (options.removeAll("%NOPATH%"))
        qputenv("PATH", "");
    QByteArray err;
    QCOMPARE(publish(options + QStringList{"--output", live, app, version, url}, &err, "wrong\n"), 1);
    QVERIFY2(err.contains(message), err);
    QMap<QString, QByteArray> after;
    for (const QString &name : QDir(live).entryList(QDir::Files | QDir::Hidden))
        after.insert(name, readFile(live + "/" + name));
    QCOMPARE(after, before);
}

void tst_Publish::helpAndVersion()
{
    QProcess tool;
    tool.start(QStringLiteral(PUBLISH_TOOL), {"--help"});
    QVERIFY(tool.waitForFinished());
    const QByteArray help = tool.readAllStandardOutput();
    QVERIFY(help.contains("--check") && help.contains("--version"));
    QVERIFY2(!help.contains("--help-all"), help);
    tool.start(QStringLiteral(PUBLISH_TOOL), {"--version"});
    QVERIFY(tool.waitForFinished());
    QVERIFY(tool.readAllStandardOutput().startsWith("pellarin-publish " UPDATER_VERSION));
}

void tst_Publish::check_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("a good release")
            << "" << QByteArray("An updater built with these settings installs this release.");
    QTest::newRow("digest") << "digest" << QByteArray("FAIL  sha256");
    QTest::newRow("size") << "size" << QByteArray("FAIL  package    Content-Length");
    QTest::newRow("signature") << "signature"
                               << QByteArray("FAIL  signature  the manifest has no signature");
    QTest::newRow("trust") << "trust" << QByteArray("FAIL  manifest   SSL handshake failed");
    QTest::newRow("pre-flight") << "pre-flight"
                                << QByteArray(
                                           "FAIL  archive    pas de fichier bin/PellarinApp.exe");
    QTest::newRow("a damaged entry")
            << "damaged"
            << QByteArray("FAIL  archive    damaged, the updater would leave out: big.bin");
    QTest::newRow("a file where a folder must be")
            << "file and folder" << QByteArray("FAIL  archive    à la fois fichier et dossier");
    QTest::newRow("a name the updater skips")
            << "colon" << QByteArray("FAIL  archive    the updater would skip: data/a:b.txt");
    QTest::newRow("no key") << "no key" << QByteArray("--    signature  not checked");
    QTest::newRow("an updater release")
            << "updater" << QByteArray("ok    updater    linux-x86_64 1.1: ");
    QTest::newRow("an updater release that holds an installation's stamp")
            << "updater stamps" << QByteArray("FAIL  updater    linux-x86_64 1.1: the package holds .healthy");
    QTest::newRow("an updater release with another digest")
            << "updater digest" << QByteArray("FAIL  updater    linux-x86_64 1.1: sha256 ");
    QTest::newRow("signed, little of its period left")
            << "signed" << QByteArray("--    signed     expires:");
    QTest::newRow("patch files, rebuilt from an earlier package")
            << "patches" << QByteArray(": rebuilt, 1 entries patched, 0 bytes by range");
    QTest::newRow("through a proxy") << "proxy" << QByteArray("through the proxy 127.0.0.1:");
    QTest::newRow("ranges answered")
            << "ranges" << QByteArray("ok    ranges     206 with If-Range \"");
    QTest::newRow("ranges ignored")
            << "whole" << QByteArray("--    ranges     HTTP 200 where a part (206) was asked for");
    // As a server does while the package's Last-Modified is too young to be taken as strong.
    QTest::newRow("If-Range never matches")
            << "young"
            << QByteArray("--    ranges     HTTP 200 where a part (206) was asked for, with "
                          "If-Range \"");
    // The settings of the build: its server, its authority and its key.
    QTest::newRow("this build's own release")
            << "own" << QByteArray("FAIL  signature  the manifest has no signature");
    QTest::newRow("authority file missing") << "no ca file" << QByteArray("cannot read");
    QTest::newRow("http") << "http" << QByteArray("only https is accepted");
}

void tst_Publish::check()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, expected);

    HttpsServer server(fault == "own" ? TEST_PORT : 0);
    ZipBuilder zip;
    if (fault == "damaged")
        zip.file("big.bin", QByteArray(100000, 'b'));
    if (fault != "pre-flight")
        zip.file("bin/PellarinApp.exe", "#!/bin/sh\n", executable());
    if (fault == "file and folder")
        zip.file("data", "x").file("data/inner.txt", "y");
    if (fault == "colon")
        zip.file("data/a:b.txt", "x");
    QByteArray package = zip.file("readme.txt", "Pellarin").build();
    if (fault == "damaged")
        package = ZipBuilder::damageFirstEntry(package);
    QJsonObject manifest = QJsonDocument::fromJson(goodManifest(server.url("/p.zip"), package))
                                   .object();
    manifest.insert("size", package.size() + (fault == "size" ? 1 : 0));
    if (fault == "digest")
        manifest.insert("hash", hexDigest("another package"));
    server.serve("/QVX/release/latest.json", QJsonDocument(manifest).toJson());
    server.serve("/p.zip", package);
    if (fault.startsWith("updater")) {
        ZipBuilder zip;
        if (fault == "updater stamps")
            zip.file(".healthy", "");
        const QByteArray updater = zip.file("PellarinUpdater", "#!/bin/sh\n").build();
        server.serve("/u.zip", updater);
        const QString hash = hexDigest(fault == "updater digest" ? package : updater);
        manifest.insert("updater",
                        QJsonObject{{"linux-x86_64",
                                     QJsonObject{{"version", "1.1"},
                                                 {"url", server.url("/u.zip")},
                                                 {"hash", hash},
                                                 {"size", updater.size()}}}});
        server.serve("/QVX/release/latest.json", QJsonDocument(manifest).toJson());
    }
    if (fault == "patches") {
        // Two releases by the tool, the second with a patch file from the first.
        write("bin/PellarinApp.exe", "#!/bin/sh\n");
        write("readme.txt", "Pellarin 1");
        QCOMPARE(publish({"--output", out, app, "1", server.url("/p1.zip")}), 0);
        write("readme.txt", "Pellarin 2, and more");
        QCOMPARE(publish({"--patch-from", out + "/p1.zip", "--output", out, app, "2",
                          server.url("/p2.zip")}),
                 0);
        for (const QString &name : QDir(out).entryList(QDir::Files))
            server.serve("/" + name, readFile(out + "/" + name));
        server.serve("/QVX/release/latest.json", readFile(out + "/latest.json"));
    }
    if (fault == "whole")
        server.rangeAnswer = HttpsServer::WholeBody;
    if (fault == "young")
        server.rangeAnswer = HttpsServer::IfRangeNeverMatches;
    QStringList arguments{"--check"};
    if (fault != "own")
        arguments << server.url("/QVX/release/latest.json")
                             .replace("https:", fault == "http" ? "http:" : "https:");
    if (fault != "trust" && fault != "own")
        arguments << "--ca"
                  << (fault == "no ca file" ? env->filePath("none.pem") : TEST_CERT_DIR "/ca.pem");
    if (fault == "signature" || fault == "signed")
        arguments << "--public-key" << TEST_CERT_DIR "/minisign.pub";
    if (fault == "patches")
        arguments << "--check-patches" << server.url("/p1.zip");
    if (fault == "signed") {
        // Signed nine days ago, to be served one day more.
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const QString comment = QStringLiteral("timestamp:%1\tfile:p.zip\texpires:%2");
        QVERIFY(writeFile(env->filePath("p.zip"), package));
        manifest.insert("signature",
                        manifestSignature("minisign", env->filePath("p.zip"),
                                          comment.arg(now - 9 * 86400).arg(now + 86400)));
        server.serve("/QVX/release/latest.json", QJsonDocument(manifest).toJson());
    }

#ifdef Q_OS_WIN
    if (fault == "proxy")
        QSKIP("on Windows the proxy is the user's Internet settings, not the environment");
#endif
    TestProcess tool(*env);
    ConnectProxy proxy;
    if (fault == "proxy") {
        QProcessEnvironment environment = env->environment();
        environment.insert("https_proxy", proxy.address());
        tool.setProcessEnvironment(environment);
    }
    tool.start(fault == "own" ? QStringLiteral(SIGNED_PUBLISH_TOOL) : QStringLiteral(PUBLISH_TOOL),
               arguments);
    QVERIFY(tool.finishes());
    const QStringList passing{"",      "no key", "proxy",   "ranges", "whole",
                              "young", "signed", "updater", "patches"};
    QCOMPARE(tool.exitCode(), passing.contains(fault) ? 0 : 1);
    QVERIFY2((tool.out + tool.err).contains(expected), tool.out + tool.err);
}

void tst_Publish::resign()
{
    write("bin/PellarinApp.exe", "#!/bin/sh\n");
    const QStringList key{"--sign", TEST_CERT_DIR "/minisign.key", "--public-key",
                          TEST_CERT_DIR "/minisign.pub"};
    QCOMPARE(publish(key
                     + QStringList{"--expires", "30", "--output", out, app, "4.0",
                                   "https://releases.pellarin.example/p-4.0.zip"}),
             0);
    const QByteArray package = readFile(out + "/p-4.0.zip");
    const QJsonObject before = QJsonDocument::fromJson(readFile(out + "/latest.json")).object();
    const auto signedOf = [](const QJsonObject &manifest) {
        const QByteArray text = QByteArray::fromBase64(
                manifest.value("signature").toString().toLatin1());
        return readTrustedComment(text.split('\n').value(2).mid(17));
    };
    const QString spare = readFile(TEST_CERT_DIR "/spare.pub").split('\n').value(0).split(' ').last();

    QByteArray err;
    QCOMPARE(publish(key + QStringList{"--resign", out, "--expires", "2", "--revoke", spare.rightJustified(16, '0')}, &err),
             0);

    // The same package, announced alike, signed anew with the new end date and revocation.
    const QJsonObject after = QJsonDocument::fromJson(readFile(out + "/latest.json")).object();
    QCOMPARE(readFile(out + "/p-4.0.zip"), package);
    for (const char *member : {"version", "url", "hash", "size"})
        QCOMPARE(after.value(member), before.value(member));
    const SignedRelease was = signedOf(before);
    const SignedRelease is = signedOf(after);
    QCOMPARE(is.version, QStringLiteral("4.0"));
    QCOMPARE(is.file, QStringLiteral("p-4.0.zip"));
    QVERIFY(is.timestamp >= was.timestamp);
    QVERIFY2(qAbs(is.expires - is.timestamp - 2 * 86400) <= 1, err);
    QCOMPARE(is.revokes, QStringList{normalKeyId(spare)});

    // Whoever can write the release folder puts a package of theirs in place, announced
    // with its digest and size under the vendor's old signature: nothing is signed.
    const QByteArray theirs = ZipBuilder().file("bin/PellarinApp.exe", "#!/bin/sh\n").build();
    QVERIFY(writeFile(out + "/p-4.0.zip", theirs));
    QJsonObject forged = after;
    forged.insert("hash", hexDigest(theirs));
    forged.insert("size", theirs.size());
    QVERIFY(writeFile(out + "/latest.json", QJsonDocument(forged).toJson()));
    QCOMPARE(publish(key + QStringList{"--resign", out}, &err), 1);
    QVERIFY2(err.contains("the live release's signature does not verify (the package does not "
                          "match its signature)"),
             err);
    QCOMPARE(QJsonDocument::fromJson(readFile(out + "/latest.json")).object(), forged);
}

void tst_Publish::updaterRelease()
{
    // The application's release, live, and one updater version beside it.
    write("bin/PellarinApp.exe", "#!/bin/sh\n");
    const QString updater = env->filePath("updater-1.1");
    QVERIFY(QDir().mkpath(updater) && writeFile(updater + "/PellarinUpdater", "#!/bin/sh\n"));
    // As `cmake --install` and a first run leave it: the stamps stay out of the package.
    QVERIFY(writeFile(updater + "/.complete", "") && writeFile(updater + "/.healthy", ""));
    const QString base = QStringLiteral("https://releases.pellarin.example/");
    QCOMPARE(publish({"--output", out, app, "4.0", base + "p-4.0.zip"}), 0);
    const QByteArray release = readFile(out + "/latest.json");
    QCOMPARE(publish({"--updater", "linux-x86_64", "--output", out, updater, "1.1",
                      base + "updater-linux-x86_64.zip"}),
             0);
    // Published again over another version under the same name: refused.
    QVERIFY(writeFile(updater + "/more.txt", "more"));
    QByteArray err;
    QCOMPARE(publish({"--updater", "linux-x86_64", "--output", out, updater, "1.2",
                      base + "updater-linux-x86_64.zip"},
                     &err),
             1);
    QVERIFY2(err.contains("publish this release under a new name"), err);

    // The application's release as it was, and the updater's beside it.
    ReleaseManifest before;
    ReleaseManifest after;
    QCOMPARE(parseManifest(release, &before), QString());
    QCOMPARE(parseManifest(readFile(out + "/latest.json"), &after), QString());
    QCOMPARE(after.hash, before.hash);
    QCOMPARE(after.url, before.url);
    QCOMPARE(after.updaters.keys(), QStringList{"linux-x86_64"});
    const UpdaterRelease entry = after.updaters.value("linux-x86_64");
    QCOMPARE(entry.version, QStringLiteral("1.1"));
    QCOMPARE(entry.hash, hexDigest(readFile(out + "/updater-linux-x86_64.zip")));
    QuaZip packed(out + "/updater-linux-x86_64.zip");
    QVERIFY(packed.open(QuaZip::mdUnzip));
    QCOMPARE(packed.getFileNameList(), QStringList{"PellarinUpdater"});
    // A new application release keeps it.
    QCOMPARE(publish({"--output", out, app, "4.1", base + "p-4.1.zip"}), 0);
    QCOMPARE(parseManifest(readFile(out + "/latest.json"), &after), QString());
    QCOMPARE(after.updaters.value("linux-x86_64").hash, entry.hash);
}

QTEST_GUILESS_MAIN(tst_Publish)
#include "tst_publish.moc"
