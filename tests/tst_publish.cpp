#include "httpsserver.h"
#include "testenv.h"
#include "zipbuilder.h"

#include <QCryptographicHash>
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
    void refusals_data();
    void refusals();
    void helpAndVersion();
    void check_data();
    void check();

private:
    void write(const QString &name, const QByteArray &data, QFile::Permissions permissions = {});
    int publish(const QStringList &arguments, QByteArray *err = nullptr);

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

int tst_Publish::publish(const QStringList &arguments, QByteArray *err)
{
    QProcess tool;
    tool.start(QStringLiteral(PUBLISH_TOOL), arguments);
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
    QTest::newRow("keys not a pair")
            << true << good << QStringList{"--sign", key, "--public-key", "%OTHER%"}
            << QByteArray("the keys are not a pair");
    QTest::newRow("output inside the application")
            << true << good << QStringList{"%INSIDE%"} << QByteArray("would be packed");
}

void tst_Publish::refusals()
{
    QFETCH(bool, withExecutable);
    QFETCH(QString, url);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, message);

    write(withExecutable ? "bin/PellarinApp.exe" : "bin/pellarin", "#!/bin/sh\n");
    const qsizetype other = options.indexOf("%OTHER%");
    if (other >= 0) {
        options[other] = env->filePath("other.pub");
        QCOMPARE(QProcess::execute(
                         MINISIGN_PROGRAM,
                         {"-G", "-W", "-p", options.at(other), "-s", env->filePath("other.key")}),
                 0);
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
    QCOMPARE(publish(options + QStringList{"--output", live, app, "4.0", url}, &err), 1);
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
}

void tst_Publish::check()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, expected);

    HttpsServer server;
    const QByteArray package = fault == "pre-flight"
            ? ZipBuilder().file("readme.txt", "no program").build()
            : ZipBuilder().file("bin/PellarinApp.exe", "#!/bin/sh\n", executable()).build();
    QJsonObject manifest = QJsonDocument::fromJson(goodManifest(server.url("/p.zip"), package))
                                   .object();
    manifest.insert("size", package.size() + (fault == "size" ? 1 : 0));
    if (fault == "digest")
        manifest.insert("hash", hexDigest("another package"));
    server.serve("/QVX/release/latest.json", QJsonDocument(manifest).toJson());
    server.serve("/p.zip", package);
    QStringList arguments{"--check", server.url("/QVX/release/latest.json")};
    if (fault != "trust")
        arguments << "--ca" << TEST_CERT_DIR "/ca.pem";
    if (fault == "signature")
        arguments << "--public-key" << TEST_CERT_DIR "/minisign.pub";

    TestProcess tool(*env);
    tool.start(QStringLiteral(PUBLISH_TOOL), arguments);
    QVERIFY(tool.finishes());
    QCOMPARE(tool.exitCode(), fault.isEmpty() ? 0 : 1);
    QVERIFY2(tool.out.contains(expected), tool.out);
}

QTEST_GUILESS_MAIN(tst_Publish)
#include "tst_publish.moc"
