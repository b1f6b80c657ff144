#include "testenv.h"

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
    QTest::newRow("no executable")
            << false << good << QStringList() << QByteArray("holds no bin/PellarinApp.exe");
    QTest::newRow("plain http") << true << QStringLiteral("http://releases.pellarin.example/p.zip")
                                << QStringList() << QByteArray("is not an https URL");
    QTest::newRow("no file name") << true << QStringLiteral("https://releases.pellarin.example/")
                                  << QStringList() << QByteArray("is not an https URL");
    QTest::newRow("no minisign program") << true << good << QStringList{"--sign", key, "%NOPATH%"}
                                         << QByteArray("--sign needs the minisign program");
    QTest::newRow("no secret key") << true << good << QStringList{"--sign", key + ".missing"}
                                   << QByteArray("minisign could not sign");
    QTest::newRow("keys not a pair")
            << true << good << QStringList{"--sign", key, "--public-key", "%OTHER%"}
            << QByteArray("the keys are not a pair");
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
    // The tool finds no programs at all.
    const QByteArray path = qgetenv("PATH");
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
    if (options.removeAll("%NOPATH%"))
        qputenv("PATH", "");
    QByteArray err;
    QCOMPARE(publish(options + QStringList{"--output", out, app, "4.0", url}, &err), 1);
    QVERIFY2(err.contains(message), err);
    QVERIFY(!QFile::exists(out + "/latest.json"));
}

QTEST_GUILESS_MAIN(tst_Publish)
#include "tst_publish.moc"
