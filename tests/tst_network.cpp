#include "connectproxy.h"
#include "digest.h"
#include "download.h"
#include "httpsserver.h"
#include "modalcloser.h"
#include "opensslserver.h"
#include "patchfile.h"
#include "patchwriter.h"
#include "proxies.h"
#include "releaseconfig.h"
#include "testenv.h"
#include "window.h"
#include "zipbuilder.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QtTest>

#ifdef Q_OS_UNIX
#    include <sys/stat.h>
#endif

static const QString manifestPath = QStringLiteral("/QVX/release/latest.json");
static const QString packagePath = QStringLiteral("/release/pellarin-2.0.zip");

class tst_Network : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void fullRun();
    void pipeline_data();
    void pipeline();
    void largePackage();
    void redirects_data();
    void redirects();
    void proxies_data();
    void proxies();
    void proxySettings_data();
    void proxySettings();
    void delta_data();
    void delta();
    void progress_data();
    void progress();
    void certificates_data();
    void certificates();
    void hostileServer_data();
    void hostileServer();
    void bodyLimits_data();
    void bodyLimits();
    void digests_data();
    void digests();

private:
    // Runs the window's pipeline to its end, dismissing any error box.
    void run(window &w);
    QStringList expand(QStringList lines) const;
    QString installedPrevious() const;
    // Publishes a patch file from `installed` to `next`, damaged as `setup` says; returns
    // what the manifest says besides.
    QJsonObject patchRelease(const QString &setup, const QByteArray &installed,
                             const QByteArray &next, const QString &nextPath);
    // Makes the package one whose second file holds `size` bytes that do not compress.
    QByteArray usePackageWithNoise(const QString &name, qsizetype size);

    std::unique_ptr<TestEnv> env;
    std::unique_ptr<HttpsServer> server;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<ModalCloser> closer;
    Settings settings;
    QByteArray package;
    QString digest;
    QString report;
};

void tst_Network::init()
{
    env = std::make_unique<TestEnv>();
    server = std::make_unique<HttpsServer>();
    report = env->filePath(QStringLiteral("launched"));
    qputenv("LAUNCH_REPORT", report.toLocal8Bit());
    package = ZipBuilder()
                      .file("bin/PellarinApp.exe", launchReporter(), executable())
                      .file("share/notes.txt", "Pellarin 2.0")
                      .build();
    digest = hexDigest(package);

    // What an earlier installation left, which every rejection must keep.
    settings = buildSettings();
    settings.installParent = env->filePath(QStringLiteral("updater"));
    QVERIFY(QDir().mkpath(settings.installParent + QStringLiteral("/App/bin")));
    QFile previous(settings.installParent + QStringLiteral("/App/bin/PellarinApp.exe"));
    QVERIFY(previous.open(QIODevice::WriteOnly));
    previous.write("version 1.0");
    settings.manifestLocation = server->url(manifestPath);
    log = std::make_unique<LogCapture>();
    closer = std::make_unique<ModalCloser>();
}

void tst_Network::cleanup()
{
    closer.reset();
    log.reset();
    server.reset();
    env.reset();
}

void tst_Network::run(window &w)
{
    w.show();
    QCOMPARE(execWithWatchdog(), 0);
}

QStringList tst_Network::expand(QStringList lines) const
{
    for (QString &line : lines) {
        line.replace(QLatin1String("%URL%"), server->url(packagePath));
        line.replace(QLatin1String("%HASH%"), digest);
        line.replace(QLatin1String("%SIZE%"), QString::number(package.size()));
        line.replace(QLatin1String("%SIZE+1%"), QString::number(package.size() + 1));
        line.replace(QLatin1String("%SIZE-1%"), QString::number(package.size() - 1));
        line.replace(QLatin1String("%MANIFEST%"), server->url(manifestPath));
        line.replace(QLatin1String("%APP%"), settings.installParent + QStringLiteral("/App"));
    }
    return lines;
}

QByteArray tst_Network::usePackageWithNoise(const QString &name, qsizetype size)
{
    const QByteArray bytes = noise(size);
    package = ZipBuilder()
                      .file("bin/PellarinApp.exe", launchReporter(), executable())
                      .stored(name, bytes)
                      .build();
    digest = hexDigest(package);
    return bytes;
}

QString tst_Network::installedPrevious() const
{
    return QString::fromUtf8(
            readFile(settings.installParent + QStringLiteral("/App/bin/PellarinApp.exe")));
}

void tst_Network::fullRun()
{
    // Left by a run that was stopped while downloading.
    const QString leftover = settings.installParent + QStringLiteral("/App.download");
    QFile stopped(leftover);
    QVERIFY(stopped.open(QIODevice::WriteOnly) && stopped.write("half a package") > 0);
    stopped.close();
    server->serve(manifestPath,
                  expand({R"({"version": "2.0", "url": "%URL%", "hash": "%HASH%",
                              "notes": {"hash": "ignored"}})"})
                          .first()
                          .toUtf8());
    server->serve(packagePath, package);

    window w(settings);
    w.silent = true;
    run(w);

    QCOMPARE(log->lines(),
             expand({"D: Downloading latest version...", R"(D: Version: "2.0")",
                     R"(D: URL: "%URL%")", R"(D: Hash: "%HASH%")", "D: Files verified",
                     "D: Total size of all files in ZIP: 0 MB",
                     R"(D: Launching program: "%APP%/bin/PellarinApp.exe")",
                     "D: Program launched successfully."}));
    QCOMPARE(closer->boxes, 0);
    QCOMPARE(server->requests, QStringList({"GET " + manifestPath, "GET " + packagePath}));
    QCOMPARE(w.expectedHash, digest);
    QCOMPARE(w.packageUrl, server->url(packagePath));
    QCOMPARE(w.statusLabel->text(), QStringLiteral("Launching Pellarin..."));
    // The package went to the disk beside App, and is gone once installed.
    QVERIFY(!QFile::exists(leftover));

    QTRY_VERIFY(QFile::exists(report));
    QFile launched(report);
    QVERIFY(launched.open(QIODevice::ReadOnly));
    QCOMPARE(launched.readAll().split('\n').mid(1, 2), QByteArrayList({"1", "--silent"}));
}

void tst_Network::pipeline_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<int>("manifestStatus");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("packageStatus");
    QTest::addColumn<int>("packageMode");
    QTest::addColumn<QStringList>("expectedLog");
    QTest::addColumn<int>("requests");
    QTest::addColumn<bool>("installed");

    const QByteArray good = R"({"version": "2.0", "url": "%URL%", "hash": "%HASH%"})";
    const QByteArray zip = "%ZIP%";
    const int complete = HttpsServer::Complete;
    const QString start = "D: Downloading latest version...";
    const QStringList parsed = {start, R"(D: Version: "2.0")", R"(D: URL: "%URL%")",
                                R"(D: Hash: "%HASH%")"};
    const QStringList emptyUrl = {R"(D: Error downloading update :  "Protocol \"\" is unknown")"};
    const QStringList installedLog = {"D: Files verified",
                                      "D: Total size of all files in ZIP: 0 MB",
                                      R"(D: Launching program: "%APP%/bin/PellarinApp.exe")",
                                      "D: Program launched successfully."};

    QTest::newRow("manifest not found")
            << good << 404 << zip << 200 << complete
            << QStringList{start,
                           R"(D: Error checking for update :  "Error transferring %MANIFEST% - server replied: Error")"}
            << 1 << false;
    QTest::newRow("manifest server error")
            << good << 500 << zip << 200 << complete
            << QStringList{start,
                           R"(D: Error checking for update :  "Error transferring %MANIFEST% - server replied: Error")"}
            << 1 << false;
    QTest::newRow("empty manifest")
            << QByteArray() << 200 << zip << 200 << complete
            << QStringList{start, R"(W: Erreur parsing JSON: "illegal value")"} + emptyUrl << 1
            << false;
    QTest::newRow("manifest is an array")
            << QByteArray(R"(["%URL%", "%HASH%"])") << 200 << zip << 200 << complete
            << QStringList{start, "W: Le JSON n'est pas un objet."} + emptyUrl << 1 << false;
    QTest::newRow("names in another case")
            << QByteArray(R"({"version": "2.0", "URL": "%URL%", "Hash": "%HASH%"})") << 200 << zip
            << 200 << complete
            << QStringList{start, R"(D: Version: "2.0")", R"(D: URL: "")", R"(D: Hash: "")"}
                    + emptyUrl
            << 1 << false;
    QTest::newRow("relative url")
            << QByteArray(R"({"version": "2.0", "url": "pellarin-2.0.zip", "hash": "%HASH%"})")
            << 200 << zip << 200 << complete
            << QStringList{start, R"(D: Version: "2.0")", R"(D: URL: "pellarin-2.0.zip")",
                           R"(D: Hash: "%HASH%")",
                           R"(D: Error downloading update :  "Protocol \"\" is unknown")"}
            << 1 << false;
    QTest::newRow("version is a number")
            << QByteArray(R"({"version": 2, "url": "%URL%", "hash": "%HASH%"})") << 200 << zip
            << 200 << complete
            << QStringList{start, R"(D: Version: "")", R"(D: URL: "%URL%")", R"(D: Hash: "%HASH%")"}
                    + installedLog
            << 2 << true;
    QTest::newRow("upper-case digest")
            << QByteArray(R"({"version": "2.0", "url": "%URL%", "hash": "%UPPERHASH%"})") << 200
            << zip << 200 << complete
            << QStringList{start, R"(D: Version: "2.0")", R"(D: URL: "%URL%")",
                           R"(D: Hash: "%UPPERHASH%")", "D: Download corrupted"}
            << 2 << false;
    QTest::newRow("digest with a line break")
            << QByteArray(R"({"version": "2.0", "url": "%URL%", "hash": "%HASH%\n"})") << 200 << zip
            << 200 << complete
            << QStringList{start, R"(D: Version: "2.0")", R"(D: URL: "%URL%")",
                           R"(D: Hash: "%HASH%\n")", "D: Download corrupted"}
            << 2 << false;
    QTest::newRow("no digest") << QByteArray(R"({"version": "2.0", "url": "%URL%"})") << 200 << zip
                               << 200 << complete
                               << QStringList{start, R"(D: Version: "2.0")", R"(D: URL: "%URL%")",
                                              R"(D: Hash: "")", "D: Download corrupted"}
                               << 2 << false;
    QTest::newRow("error page with success status")
            << good << 200 << QByteArray("<html>Maintenance</html>") << 200 << complete
            << parsed + QStringList{"D: Download corrupted"} << 2 << false;
    QTest::newRow("empty package") << good << 200 << QByteArray() << 200 << complete
                                   << parsed + QStringList{"D: Download corrupted"} << 2 << false;
    QTest::newRow("connection closed halfway")
            << good << 200 << zip << 200 << int(HttpsServer::CloseHalfway)
            << parsed + QStringList{R"(D: Error downloading update :  "Connection closed")"} << 2
            << false;
    QTest::newRow("size is not a number")
            << QByteArray(
                       R"({"version": "2.0", "url": "%URL%", "hash": "%HASH%", "size": "%SIZE%"})")
            << 200 << zip << 200 << complete
            << QStringList{start, "W: Le champ size du manifeste n'est pas un nombre d'octets."}
                    + emptyUrl
            << 1 << false;
    const QByteArray sized
            = R"({"version": "2.0", "url": "%URL%", "hash": "%HASH%", "size": %SIZE%})";
    QTest::newRow("size matches") << sized << 200 << zip << 200 << int(HttpsServer::NoLength)
                                  << parsed + installedLog << 2 << true;
    // Only self-updating builds look at the updater's own releases.
    QTest::newRow("updater releases listed")
            << QByteArray(R"({"version": "2.0", "url": "%URL%", "hash": "%HASH%", "updater":
                   {"linux-x86_64": {"version": "9.0", "url": "%URL%", "hash": "%HASH%",
                                     "size": 1}, "windows-x86_64": "garbage"}})")
            << 200 << zip << 200 << complete << parsed + installedLog << 2 << true;
    // Only builds with a vendor key look at it.
    QTest::newRow("garbage signature")
            << QByteArray(
                       R"({"version": "2.0", "url": "%URL%", "hash": "%HASH%", "signature": "*"})")
            << 200 << zip << 200 << complete << parsed + installedLog << 2 << true;
    QTest::newRow("Content-Length differs from size")
            << QByteArray(sized).replace("%SIZE%", "%SIZE+1%") << 200 << zip << 200 << complete
            << parsed
                    + QStringList{R"(D: Error downloading update :  "Content-Length %SIZE% differs from the manifest's size of %SIZE+1% bytes")"}
            << 2 << false;
    QTest::newRow("shorter than size") << QByteArray(sized).replace("%SIZE%", "%SIZE+1%") << 200
                                       << zip << 200 << int(HttpsServer::NoLength)
                                       << parsed
                    + QStringList{R"(D: Error downloading update :  "%SIZE% bytes received, fewer than the manifest's size of %SIZE+1% bytes")"}
                                       << 2 << false;
    QTest::newRow("longer than size") << QByteArray(sized).replace("%SIZE%", "%SIZE-1%") << 200
                                      << zip << 200 << int(HttpsServer::NoLength)
                                      << parsed
                    + QStringList{R"(D: Error downloading update :  "More than the manifest's size of %SIZE-1% bytes")"}
                                      << 2 << false;
    QTest::newRow("endless package") << sized << 200 << zip << 200 << int(HttpsServer::Endless)
                                     << parsed
                    + QStringList{R"(D: Error downloading update :  "More than the manifest's size of %SIZE% bytes")"}
                                     << 2 << false;
    QTest::newRow("package not found") << good << 200 << zip << 404 << complete
                                       << parsed
                    + QStringList{R"(D: Error downloading update :  "Error transferring %URL% - server replied: Error")"}
                                       << 2 << false;
}

void tst_Network::pipeline()
{
    QFETCH(QByteArray, manifest);
    QFETCH(int, manifestStatus);
    QFETCH(QByteArray, body);
    QFETCH(int, packageStatus);
    QFETCH(int, packageMode);
    QFETCH(QStringList, expectedLog);
    QFETCH(int, requests);
    QFETCH(bool, installed);

    const QString upper = digest.toUpper();
    manifest.replace("%UPPERHASH%", upper.toLatin1());
    for (QString &line : expectedLog)
        line.replace(QLatin1String("%UPPERHASH%"), upper);
    server->serve(manifestPath, expand({QString::fromUtf8(manifest)}).first().toUtf8(),
                  manifestStatus);
    server->serve(packagePath, body == "%ZIP%" ? package : body, packageStatus,
                  HttpsServer::Mode(packageMode));

    window w(settings);
    run(w);

    QCOMPARE(log->lines(), expand(expectedLog));
    QCOMPARE(server->requests.size(), requests);
    QCOMPARE(closer->boxes, installed ? 0 : 1);
    if (installed) {
        QTRY_VERIFY(QFile::exists(report));
    } else {
        QCOMPARE(installedPrevious(), QStringLiteral("version 1.0"));
        QCOMPARE(closer->title, QStringLiteral("Erreur"));
    }
}

void tst_Network::largePackage()
{
    // Larger than what the reply may hold back, so it arrives in many pieces.
    const QByteArray noise = usePackageWithNoise("lib/big.bin", 12 * 1024 * 1024 + 17);
    server->serve(manifestPath, goodManifest(server->url(packagePath), package));
    server->serve(packagePath, package);

    window w(settings);
    run(w);

    QCOMPARE(closer->boxes, 0);
    QVERIFY(log->lines().contains("D: Total size of all files in ZIP: 12 MB"));
    QFile big(settings.installParent + "/App/lib/big.bin");
    QVERIFY(big.open(QIODevice::ReadOnly));
    QVERIFY(big.readAll() == noise);
    QTRY_VERIFY(QFile::exists(report));
}

void tst_Network::redirects_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("otherHost");
    QTest::addColumn<int>("missing");
    QTest::addColumn<QString>("hop");
    QTest::addColumn<QString>("lastLine");

    const QString launched = QStringLiteral("D: Program launched successfully.");
    const QString failed = QStringLiteral(R"(D: Error downloading update :  "%1")");
    QTest::newRow("302, same host") << 302 << false << 0 << QString() << launched;
    QTest::newRow("307, another host") << 307 << true << 0 << QString() << launched;
    QTest::newRow("301, final body one byte short")
            << 301 << false << 1 << QString()
            << failed.arg(
                       "%SIZE-1% bytes received, fewer than the manifest's size of %SIZE% bytes");
    // Followed at its headers: the body is never read.
    QTest::newRow("302 with an endless body") << 302 << false << 0 << "endless" << launched;
    QTest::newRow("302 without a Location") << 302 << false << 0 << "no location"
                                            << failed.arg("Redirect (HTTP 302) without a Location");
    // Three hops of 400 ms with no body between them: the inactivity rule spans them all.
    QTest::newRow("slow hops") << 302 << false << 0 << "slow" << failed.arg("No data for 1 s");
}

void tst_Network::redirects()
{
    QFETCH(int, status);
    QFETCH(bool, otherHost);
    QFETCH(int, missing);
    QFETCH(QString, hop);
    QFETCH(QString, lastLine);

    // Where a CDN keeps the package: here, or on a host of its own.
    HttpsServer storage;
    HttpsServer &holder = otherHost ? storage : *server;
    const QString stored = QStringLiteral("/storage/pellarin-2.0.zip");
    holder.serve(stored, package.chopped(missing), 200,
                 missing ? HttpsServer::NoLength : HttpsServer::Complete);
    const QString target = otherHost
            ? QStringLiteral("https://localhost:%1%2").arg(holder.serverPort()).arg(stored)
            : stored;
    if (hop == "slow") {
        settings.transferTimeout = 1000;
        for (const QString &path : {packagePath, QStringLiteral("/hop1"), QStringLiteral("/hop2")})
            server->redirect(path,
                             path == packagePath       ? "/hop1"
                                     : path == "/hop1" ? "/hop2"
                                                       : target,
                             status, HttpsServer::Complete, 400);
    } else {
        server->redirect(packagePath, hop == "no location" ? QString() : target, status,
                         hop == "endless" ? HttpsServer::Endless : HttpsServer::Complete);
    }
    server->serve(manifestPath,
                  expand({R"({"version": "2.0", "url": "%URL%", "hash": "%HASH%", "size": %SIZE%})"})
                          .first()
                          .toUtf8());

    window w(settings);
    run(w);

    QCOMPARE(log->lines().last(), expand({lastLine}).first());
    const bool launched = lastLine.endsWith(QLatin1String("successfully."));
    QCOMPARE(closer->boxes, launched ? 0 : 1);
    if (launched || missing)
        QCOMPARE(holder.requests.last(), "GET " + stored);
    if (launched)
        QTRY_VERIFY(QFile::exists(report));
    else
        QCOMPARE(installedPrevious(), QStringLiteral("version 1.0"));
    // A redirect without a Location is not followed again and again.
    QVERIFY(server->requests.size() <= 4);
}

void tst_Network::proxies_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("chain");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("lastLine");

    const QString launched = QStringLiteral("D: Program launched successfully.");
    const QString failed = QStringLiteral(R"(D: Error checking for update :  "%1")");
    QTest::newRow("through the proxy") << "HTTPS_PROXY"
                                       << "good" << QByteArray() << launched;
    QTest::newRow("host in no_proxy") << "no_proxy"
                                      << "good" << QByteArray() << launched;
    QTest::newRow("proxy at an IPv6 address") << "[::1]"
                                              << "good" << QByteArray() << launched;
    // The certificate is still checked end to end, before the request is sent.
    QTest::newRow("host not in the certificate, through the proxy")
            << "https_proxy"
            << "other-name" << QByteArray()
            << failed.arg("SSL handshake failed: The host name did not match any of the valid "
                          "hosts for this certificate");
    QTest::newRow("proxy asks for credentials")
            << "https_proxy"
            << "good"
            << QByteArray("HTTP/1.1 407 Proxy Authentication Required\r\n"
                          "Proxy-Authenticate: Basic realm=\"company\"\r\n\r\n")
            << failed.arg("Proxy requires authentication (proxy %PROXY%)");
    QTest::newRow("proxy answers 502")
            << "https_proxy"
            << "good" << QByteArray("HTTP/1.1 502 Bad Gateway\r\n\r\n")
            << failed.arg("Error communicating with HTTP proxy (proxy %PROXY%)");
    QTest::newRow("proxy answers garbage") << "https_proxy"
                                           << "good" << QByteArray("garbage\r\n\r\n")
                                           << failed.arg("Did not receive HTTP response from "
                                                         "proxy (proxy %PROXY%)");
    QTest::newRow("proxy not listening")
            << "closed"
            << "good" << QByteArray() << failed.arg("Proxy connection refused (proxy %PROXY%)");
    // Qt would send the password to an https:// proxy in clear.
    QTest::newRow("https:// proxy with a password")
            << "https://user:secret@%PROXY%"
            << "good" << QByteArray()
            << failed.arg("https_proxy: a https:// proxy is not supported (http, socks5 or "
                          "socks5h)");
}

void tst_Network::proxies()
{
    QFETCH(QString, setting);
    QFETCH(QString, chain);
    QFETCH(QByteArray, answer);
    QFETCH(QString, lastLine);
#ifdef Q_OS_WIN
    QSKIP("on Windows the proxy is the user's Internet settings, not the environment");
#endif
    QTcpServer ipv6;
    if (setting == "[::1]" && !ipv6.listen(QHostAddress::LocalHostIPv6))
        QSKIP("no IPv6 loopback here");
    ipv6.close();
    ConnectProxy proxy(answer,
                       setting == "[::1]" ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost);
    const auto unset = qScopeGuard([] {
        for (const char *name : {"https_proxy", "HTTPS_PROXY", "no_proxy"})
            qunsetenv(name);
    });
    QString address = proxy.address();
    if (setting == "closed") {
        // A port that nothing listens on any more.
        address = QStringLiteral("http://127.0.0.1:%1").arg(proxy.serverPort());
        proxy.close();
    } else if (setting.contains("://")) {
        address = QString(setting).replace("%PROXY%", address.mid(7));
    }
    qputenv(setting == "HTTPS_PROXY" ? "HTTPS_PROXY" : "https_proxy", address.toLatin1());
    if (setting == "no_proxy")
        qputenv("no_proxy", "example.com, 127.0.0.0/8");
    server = std::make_unique<HttpsServer>(0, QStringLiteral(TEST_CERT_DIR),
                                           QStringLiteral("chains/") + chain);
    // A release server by name, as in the field: Qt 6.4 reaches a proxy at an IPv6 address
    // only for a host it may look up either way, not for an IPv4 address.
    const auto url = [&](const QString &path) {
        return setting == "[::1]" ? server->url(path).replace("127.0.0.1", "localhost")
                                  : server->url(path);
    };
    settings.manifestLocation = url(manifestPath);
    server->serve(manifestPath, goodManifest(url(packagePath), package));
    server->serve(packagePath, package);

    window w(settings);
    run(w);

    QCOMPARE(log->lines().last(),
             QString(lastLine).replace("%PROXY%", address.mid(address.lastIndexOf('/') + 1)));
    const QString tunnel = QStringLiteral("CONNECT %1:%2")
                                   .arg(setting == "[::1]" ? "localhost" : "127.0.0.1")
                                   .arg(server->serverPort());
    QCOMPARE(proxy.requests.isEmpty(),
             setting == "no_proxy" || setting == "closed" || setting.contains("://"));
    for (const QString &request : std::as_const(proxy.requests))
        QCOMPARE(request, tunnel);
    if (lastLine.endsWith(QLatin1String("successfully."))) {
        QCOMPARE(server->requests.size(), 2);
        QTRY_VERIFY(QFile::exists(report));
    } else {
        QVERIFY(server->requests.isEmpty());
        QCOMPARE(closer->boxes, 1);
    }
}

void tst_Network::proxySettings_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<QByteArray>("noProxy");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<QString>("problem");

    const QString url = QStringLiteral("https://updates.example/latest.json");
    QTest::newRow("no scheme, no port") << QByteArray("proxy.example") << QByteArray() << url
                                        << "proxy.example:1080" << QString();
    QTest::newRow("socks5h with an encoded password")
            << QByteArray("socks5h://user:p%40ss@[::1]:1081") << QByteArray() << url << "::1:1081"
            << QString();
    QTest::newRow("port not a number")
            << QByteArray("http://proxy.example:http") << QByteArray() << url << QString()
            << R"(https_proxy: the proxy's port "http" is not a number from 1 to 65535)";
    QTest::newRow("IPv6 address in no_proxy")
            << QByteArray("socks4://proxy.example") << QByteArray("example.com,[::1]")
            << "https://[::1]:8443/latest.json" << QString() << QString();
}

void tst_Network::proxySettings()
{
    QFETCH(QByteArray, setting);
    QFETCH(QByteArray, noProxy);
    QFETCH(QString, url);
    QFETCH(QString, proxy);
    QFETCH(QString, problem);
#ifdef Q_OS_WIN
    QSKIP("on Windows the proxy is the user's Internet settings, not the environment");
#endif
    const auto unset = qScopeGuard([] {
        qunsetenv("https_proxy");
        qunsetenv("no_proxy");
    });
    qputenv("https_proxy", setting);
    qputenv("no_proxy", noProxy);

    QCOMPARE(proxyProblem(QUrl(url)), problem);
    QCOMPARE(proxyName(proxyFor(QUrl(url))), proxy);
    if (setting.contains('@'))
        QCOMPARE(proxyFor(QUrl(url)).password(), QStringLiteral("p@ss"));
}

// 200 KiB, the `i`th file's; `changed` makes the sixth another one, `all` every one.
static QByteArray deltaFile(int i, bool changed, bool all = false)
{
    return noise(200 * 1024, all ? i + 100 : changed && i == 5 ? 99 : i);
}

// A release of the program (with `more` after it) and twelve such files, every entry of
// `day`'s time.
static QByteArray deltaRelease(int day, bool changed = false, const QByteArray &more = {},
                               bool all = false)
{
    ZipBuilder release;
    release.at(QDateTime(QDate(2026, 12, day), QTime(12, 0)))
            .file("bin/PellarinApp.exe", launchReporter() + more, executable());
    for (int i = 0; i < 12; ++i)
        release.stored(QStringLiteral("data/%1.bin").arg(i), deltaFile(i, changed, all));
    return release.build();
}

QJsonObject tst_Network::patchRelease(const QString &setup, const QByteArray &installed,
                                      const QByteArray &next, const QString &nextPath)
{
    const QString earlier = env->filePath("earlier.zip");
    const QString patchFile = env->filePath("next.patch");
    int entries = 0;
    writeFile(earlier, installed);
    writeFile(env->filePath("next.zip"), next);
    writePatchFile(earlier, env->filePath("next.zip"), patchFile, &entries);
    QByteArray patch = readFile(patchFile);
    if (setup == "patch differs") {
        QList<PatchEntry> parsed;
        readPatchFile(patch, &parsed);
        // The first entry's recorded SHA-256, before its three sizes.
        patch[parsed.first().frameOffset - 24 - 32] ^= 1;
    } else if (setup == "patch claims") {
        patch.replace(8, 4, QByteArray::fromHex("e8030000"));
    }
    QJsonObject patchEntry{{"from", setup == "patch other" ? hexDigest(next) : hexDigest(installed)},
                           {"url", server->url("/release/next.patch")},
                           {"size", patch.size()},
                           {"hash", hexDigest(patch)}};
    if (setup == "patch damaged")
        patch[patch.size() / 2] ^= 1;
    server->serve("/release/next.patch", patch, 200,
                  setup == "patch truncated" ? HttpsServer::CloseHalfway : HttpsServer::Complete);
    QJsonObject extra{{"patches", QJsonArray{patchEntry}}};
    if (setup == "patch signed") {
        settings.signingKeys = {readFile(TEST_CERT_DIR "/minisign.pub").split('\n').value(1)};
        extra.insert("signature", manifestSignature("minisign", env->filePath("next.zip"),
                                                    "file:" + QFileInfo(nextPath).fileName()));
    }
    return extra;
}

void tst_Network::delta_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("line");

    const QString fallBack = QStringLiteral(
            "D: Delta update not possible, downloading the whole package: ");
    const QString reused = QStringLiteral("12 entries reused");
    QTest::newRow("one file changed, every time new") << "changed" << reused;
    QTest::newRow("server compresses what accepts gzip") << "compressing" << reused;
    QTest::newRow("manifest without a size") << "unsized" << reused;
    QTest::newRow("every entry changed")
            << "all changed" << fallBack + R"("the changed entries are )";
    QTest::newRow("server ignores ranges")
            << "whole" << fallBack + R"("HTTP 200 where a part (206) was asked for")";
    QTest::newRow("a range answered with other bytes")
            << "wrong" << fallBack + R"("the rebuilt package's digest is)";
    QTest::newRow("a tail that asks for a longer one every time")
            << "growing" << fallBack + R"("the directory is longer than what was read")";
    QTest::newRow("a range cut off") << "cut"
                                     << "D: Range broken off, asking again for the rest:";
    QTest::newRow("damaged App.package")
            << "damaged" << fallBack + R"("the installed package: no end of directory")";
    QTest::newRow("App.package is a pipe") << "fifo" << fallBack + R"("cannot read)";
    QTest::newRow("App.download is a folder") << "folder"
                                              << "(not a file the updater wrote)";
    QTest::newRow("cut download resumed") << "resumed"
                                          << "D: Package transfer:";
    QTest::newRow("killed download resumed, manifest without a size") << "killed"
                                                                      << "D: Package transfer:";
    QTest::newRow("resumed download damaged on disk")
            << "garbled"
            << R"(D: Resume not possible, downloading the whole package: "the resumed package's)";
    QTest::newRow("cut download of a package no longer announced") << "withdrawn"
                                                                   << "D: Package transfer:";
    const QString patched = QStringLiteral("entries reused, 2 patched, 0 fetched by range");
    const QString notUsed = QStringLiteral("D: Patch file not used: ");
    QTest::newRow("a patch that applies") << "patch" << patched;
    QTest::newRow("a patch whose result differs")
            << "patch differs"
            << "D: Patch of bin/PellarinApp.exe not used: its compressed bytes are not the "
               "recorded ones";
    QTest::newRow("a damaged patch file") << "patch damaged" << notUsed + "its digest is ";
    QTest::newRow("a truncated patch file") << "patch truncated" << notUsed + "Connection closed";
    QTest::newRow("a patch file that claims more than it holds")
            << "patch claims" << notUsed + "1000 entries claimed, more than the file holds";
    QTest::newRow("a patch from another earlier package")
            << "patch other" << QStringLiteral("entries reused, 0 patched, 2 fetched by range");
    QTest::newRow("a patch over the memory bound")
            << "patch bound" << QStringLiteral("D: Patch of data/5.bin not used: over 1024 bytes");
    QTest::newRow("a signed release rebuilt from patches") << "patch signed" << patched;
    QTest::newRow("a patch file killed halfway, resumed") << "patch killed" << patched;
    // Local work is no silence of the network's.
    QTest::newRow("a rebuild longer than the idle time") << "patch slow" << patched;
    QTest::newRow("repair from App.package")
            << "repair"
            << "D: Installed release changed, reinstalling it from";
}

void tst_Network::delta()
{
    QFETCH(QString, setup);
    QFETCH(QString, line);
#ifdef Q_OS_WIN
    if (setup == "fifo")
        QSKIP("no pipes in the file system on Windows");
    if (setup == "patch signed")
        QSKIP("minisign signs on the Linux side");
    if (setup == "patch slow")
        QSKIP("a quarter of a second of silence is too little for Wine's network");
#endif

    settings.deltaUpdates = true;
    settings.skipUnchanged = setup == "repair";
    settings.patchLimit = setup == "patch bound" ? 1024 : settings.patchLimit;
    const QString app = settings.installParent + QStringLiteral("/App");
    const bool sized = setup != "unsized" && setup != "killed";
    QJsonObject extra;
    const auto release = [&](const QByteArray &zip, const QString &name, HttpsServer::Mode mode) {
        QJsonObject manifest = QJsonDocument::fromJson(goodManifest(server->url(name), zip)).object();
        for (auto it = extra.begin(); it != extra.end(); ++it)
            manifest.insert(it.key(), it.value());
        if (sized)
            manifest.insert("size", zip.size());
        server->serve(manifestPath, QJsonDocument(manifest).toJson());
        server->serve(name, zip, 200, mode);
    };
    const auto start = [&] {
        window w(settings);
        run(w);
    };
    // The installed release, and its package kept beside App.
    const QByteArray installed = deltaRelease(1);
    release(installed, packagePath, HttpsServer::Complete);
    start();
    QCOMPARE(readFile(app + ".package"), installed);

    const bool patching = setup.startsWith("patch");
    // A program that takes a while to compress again (a rebuild of a second or more), or
    // whose patch is long enough to be cut halfway.
    QByteArray larger(setup == "patch slow" ? 4 << 20 : setup == "patch killed" ? 256 << 10 : 0,
                      Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(larger.data()), larger.size() / 4);
    larger = larger.isEmpty() ? larger : "# " + larger.toHex() + "\n";
    const QByteArray next = patching ? deltaRelease(2, true, "# 2.1\n" + larger)
            : setup == "all changed" ? deltaRelease(2, true, "# 2.1\n", true)
                                     : deltaRelease(2, true);
    const QString nextPath = QStringLiteral("/release/pellarin-2.1.zip");
    if (patching)
        extra = patchRelease(setup, installed, next, nextPath);
    const bool broken = setup == "resumed" || setup == "withdrawn" || setup == "garbled";
    if (setup == "repair") {
        QVERIFY(QFile::remove(app + "/data/3.bin"));
    } else if (broken || setup == "killed" || setup == "patch killed") {
        const bool patch = setup == "patch killed";
        const QString part = app + (patch ? ".patch" : ".download");
        const qint64 whole = patch ? extra.value("patches").toArray().first()["size"].toInteger()
                                   : next.size();
        if (patch)
            server->serve("/release/next.patch", readFile(env->filePath("next.patch")), 200,
                          HttpsServer::Pause);
        else
            QVERIFY(QFile::remove(app + ".package"));
        release(next, nextPath,
                broken ? HttpsServer::CloseHalfway
                       : (patch ? HttpsServer::Complete : HttpsServer::Pause));
        window w(settings);
        // Stopped as a kill would stop it: the updater sees no failure.
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            const qint64 written = QFileInfo(part).size();
            if (written > 0 && written >= whole / 2 - 65536 && QFile::exists(part + ".info"))
                QCoreApplication::exit(0);
        });
        if (!broken)
            poll.start(5);
        run(w);
        QVERIFY(QFileInfo(part).size() > 0);
        if (patch)
            server->serve("/release/next.patch", readFile(env->filePath("next.patch")));
    } else if (setup == "damaged") {
        QVERIFY(writeFile(app + ".package", "damaged"));
#ifdef Q_OS_UNIX
    } else if (setup == "fifo") {
        QVERIFY(QFile::remove(app + ".package"));
        QCOMPARE(mkfifo(QFile::encodeName(app + ".package").constData(), 0600), 0);
#endif
    } else if (setup == "folder") {
        QVERIFY(QDir().mkpath(app + ".download/inside"));
    }
    if (setup == "garbled") {
        QFile partial(app + ".download");
        QVERIFY(partial.open(QIODevice::ReadWrite) && partial.write("garbled") == 7);
    }
    const qint64 kept = QFileInfo(app + (setup == "patch killed" ? ".patch" : ".download")).size();
    if (setup == "patch slow")
        settings.transferTimeout = 250;
    server->compresses = setup == "compressing";
    server->rangeAnswer = setup == "whole" ? HttpsServer::WholeBody
            : setup == "wrong"             ? HttpsServer::WrongBytes
            : setup == "growing"           ? HttpsServer::GrowingTail
            : setup == "cut"               ? HttpsServer::CutOnce
                                           : HttpsServer::Part;
    // What the last start installs.
    const QByteArray expected = setup == "repair" ? installed
            : setup == "withdrawn"                ? deltaRelease(3, true)
                                                  : next;
    if (setup != "repair")
        release(expected,
                setup == "withdrawn" ? QStringLiteral("/release/pellarin-2.2.zip") : nextPath,
                HttpsServer::Complete);
    server->requests.clear();
    server->ranges.clear();
    server->bytesSent = 0;
    start();

    QVERIFY2(log->lines().filter(line).size() >= 1, qPrintable(log->lines().join('\n')));
    QCOMPARE(log->lines().last(), QStringLiteral("D: Program launched successfully."));
    QVERIFY(readFile(app + "/data/5.bin")
            == deltaFile(5, setup != "repair", setup == "all changed"));
    QVERIFY(readFile(app + ".package") == expected);
    QVERIFY(!QFile::exists(app + ".download"));
    for (const char *left : {".patch", ".patch.info", ".tail", ".tail.info"})
        QVERIFY2(!QFile::exists(app + left), left);
    // One range a request, never several.
    QVERIFY(server->ranges.filter(",").isEmpty());
    // The changed entry and the directory, with room for headers and merging; a range cut
    // off halfway costs its first half again at most.
    const qint64 changedBytes = qint64(1.1 * (205 * 1024 + 1024)) + 64 * 1024;
    if (setup == "changed" || setup == "compressing" || setup == "unsized") {
        QVERIFY2(server->bytesSent <= changedBytes, qPrintable(QString::number(server->bytesSent)));
    } else if (setup == "cut") {
        QVERIFY2(server->bytesSent <= changedBytes + 103 * 1024,
                 qPrintable(QString::number(server->bytesSent)));
    } else if (setup == "patch killed") {
        // The patch file from where it stopped, and the package's last bytes not again.
        QCOMPARE(server->ranges.filter(QStringLiteral("bytes=%1-").arg(kept)).size(), 1);
        QVERIFY(server->ranges.filter(QStringLiteral("bytes=%1-").arg(next.size() - 65536))
                        .isEmpty());
    } else if (setup == "resumed" || setup == "killed") {
        QCOMPARE(server->ranges.last(),
                 QStringLiteral("bytes=%1-%2").arg(kept).arg(next.size() - 1));
        QVERIFY(server->bytesSent <= next.size() - kept + 1024);
    } else if (setup == "garbled") {
        QCOMPARE(server->ranges.last(), QString());
    } else if (setup == "withdrawn") {
        // Never mixed into another package.
        QVERIFY(server->ranges.filter(QStringLiteral("bytes=%1-").arg(next.size() / 2)).isEmpty());
    } else if (setup == "growing") {
        // Two tails at most, then the whole package.
        QCOMPARE(server->ranges.filter("bytes=").size(), 2);
    } else if (setup == "repair") {
        QCOMPARE(server->requests.size(), 1);
    }
    if (setup == "unsized")
        QCOMPARE(server->ranges.value(1), QStringLiteral("bytes=-65536"));
}

void tst_Network::progress_data()
{
    QTest::addColumn<bool>("sized");

    QTest::newRow("with a size") << true;
    QTest::newRow("without") << false;
}

void tst_Network::progress()
{
    QFETCH(bool, sized);

    // The server sends half of the package, then waits.
    const QString halfway = sized ? QStringLiteral("Downloading Pellarin... %1%")
                                            .arg(package.size() / 2 * 100 / package.size())
                                  : QStringLiteral("Downloading Pellarin... 0.0 MiB");
    settings.showProgress = true;
    server->serve(manifestPath,
                  expand({sized ? R"({"url": "%URL%", "hash": "%HASH%", "size": %SIZE%})"
                                : R"({"url": "%URL%", "hash": "%HASH%"})"})
                          .first()
                          .toUtf8());
    server->serve(packagePath, package, 200, HttpsServer::Pause);
    window w(settings);
    // What the window says while the server holds the second half back.
    QString seen;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        if (seen.isEmpty() && w.statusLabel->text() == halfway) {
            seen = w.statusLabel->text();
            QCOMPARE(w.statusLabel->x(), (w.width() - w.statusLabel->width()) / 2);
            server->resume();
        }
    });
    poll.start(5);
    run(w);

    QCOMPARE(seen, halfway);
    QCOMPARE(w.statusLabel->text(), QStringLiteral("Installing Pellarin..."));
    QCOMPARE(w.statusLabel->x(), (w.width() - w.statusLabel->width()) / 2);
    QCOMPARE(log->lines().last(), QStringLiteral("D: Program launched successfully."));
}

void tst_Network::certificates_data()
{
    QTest::addColumn<QString>("authority");
    QTest::addColumn<QString>("chain");
    QTest::addColumn<bool>("systemTrusts");
    QTest::addColumn<QString>("redirectTo");
    QTest::addColumn<bool>("accepted");

    // The vendor's authority is built in; the other stands for one in the system's store.
    const QString vendor = QStringLiteral(TEST_CERT_DIR);
    const QString system = QStringLiteral(TEST_CERT_DIR "/system");
    QTest::newRow("vendor, good") << vendor << "good" << true << QString() << true;
    QTest::newRow("system, good") << system << "good" << true << QString() << true;
    QTest::newRow("system, good, not in the store")
            << system << "good" << false << QString() << false;
    // The package's request is redirected to storage under the other authority.
    QTest::newRow("vendor, redirected to system") << vendor << "good" << true << system << true;
    QTest::newRow("system, redirected to vendor") << system << "good" << true << vendor << true;
    for (const char *chain : {"client-only", "crl-sign-only", "rsa-1024", "sha1", "other-name",
                              "ip-only", "name-constraints"}) {
        QTest::addRow("vendor, %s", chain) << vendor << chain << true << QString() << false;
        QTest::addRow("system, %s", chain) << system << chain << true << QString() << false;
    }
}

void tst_Network::certificates()
{
    QFETCH(QString, authority);
    QFETCH(QString, chain);
    QFETCH(bool, systemTrusts);
    QFETCH(QString, redirectTo);
    QFETCH(bool, accepted);

    // Qt will not serve a weak key or digest itself; the openssl program will.
    const QString name = QStringLiteral("chains/") + chain;
    std::unique_ptr<OpenSslServer> weak;
    if (chain == QLatin1String("rsa-1024") || chain == QLatin1String("sha1")) {
        weak = std::make_unique<OpenSslServer>(authority + "/" + name + ".pem",
                                               authority + "/" + name + ".key");
#ifdef Q_OS_WIN
        if (!weak->isListening())
            QSKIP("no openssl program here");
#endif
        QVERIFY(weak->isListening());
    } else {
        server = std::make_unique<HttpsServer>(0, authority, name);
    }
    // This leaf names the host in its common name only.
    const QString host = chain == QLatin1String("ip-only") ? QStringLiteral("localhost")
                                                           : QStringLiteral("127.0.0.1");
    const auto url = [&](const QString &path) {
        return (weak ? weak->url(path) : server->url(path)).replace("127.0.0.1", host);
    };
    const QByteArray manifest = goodManifest(url(packagePath), package);
    for (const auto &[path, body] : {std::pair(manifestPath, manifest), {packagePath, package}})
        weak ? weak->serve(path, body) : server->serve(path, body);
    std::unique_ptr<HttpsServer> storage;
    if (!redirectTo.isEmpty()) {
        storage = std::make_unique<HttpsServer>(0, redirectTo, QStringLiteral("chains/good"));
        storage->serve(packagePath, package);
        server->redirect(packagePath, storage->url(packagePath));
    }
    settings.manifestLocation = url(manifestPath);
    const QSslConfiguration previous = QSslConfiguration::defaultConfiguration();
    const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(previous); });
    QSslConfiguration store = previous;
    store.setCaCertificates(systemTrusts ? QSslCertificate::fromPath(TEST_CERT_DIR "/system/ca.pem")
                                         : QList<QSslCertificate>());
    QSslConfiguration::setDefaultConfiguration(store);

    window w(settings);
    run(w);

    if (accepted) {
        QCOMPARE(log->lines().last(), QStringLiteral("D: Program launched successfully."));
        QTRY_VERIFY(QFile::exists(report));
        QVERIFY(!storage || storage->requests == QStringList{"GET " + packagePath});
    } else {
        // Refused before the request is sent.
        QVERIFY(!server || server->requests.isEmpty());
        QCOMPARE(log->lines().size(), 2);
        QVERIFY2(log->lines().last().startsWith(
                         "D: Error checking for update :  \"SSL handshake failed"),
                 qPrintable(log->lines().last()));
        QCOMPARE(closer->boxes, 1);
        QCOMPARE(installedPrevious(), QStringLiteral("version 1.0"));
    }
}

void tst_Network::hostileServer_data()
{
    QTest::addColumn<bool>("manifestMisbehaves");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("dripBytes");
    QTest::addColumn<bool>("delta");
    QTest::addColumn<QString>("lastLine");

    const QString checking = R"(D: Error checking for update :  "%1")";
    const QString downloading = R"(D: Error downloading update :  "%1")";
    const QString stalled = QStringLiteral("No data for 1 s");
    const QString slow = QStringLiteral("Under 1024 bytes/s for 1.2 s");
    // Below 1 KiB/s, though never silent for as long as the inactivity time-out.
    QTest::newRow("manifest stalls")
            << true << int(HttpsServer::Stall) << 0 << false << checking.arg(stalled);
    QTest::newRow("manifest drips")
            << true << int(HttpsServer::Drip) << 1 << false << checking.arg(slow);
    QTest::newRow("endless manifest") << true << int(HttpsServer::Endless) << 0 << false
                                      << checking.arg("More than the limit of 1048576 bytes");
    QTest::newRow("package stalls")
            << false << int(HttpsServer::Stall) << 0 << false << downloading.arg(stalled);
    QTest::newRow("package drips")
            << false << int(HttpsServer::Drip) << 1 << false << downloading.arg(slow);
    // In 30 pieces 50 ms apart: longer than lowSpeedTime, yet well above 1 KiB/s.
    QTest::newRow("package slow but steady") << false << int(HttpsServer::Drip) << -30 << false
                                             << "D: Program launched successfully.";
    // One time-out for every request of the transfer: no whole download after it.
    QTest::newRow("package stalls, delta update")
            << false << int(HttpsServer::Stall) << 0 << true << downloading.arg(stalled);
}

void tst_Network::hostileServer()
{
    QFETCH(bool, manifestMisbehaves);
    QFETCH(int, mode);
    QFETCH(int, dripBytes);
    QFETCH(bool, delta);
    QFETCH(QString, lastLine);

    // Slack for a loaded machine: a drip every 50 ms never trips it.
    settings.transferTimeout = 1000;
    settings.lowSpeedTime = 1200;
    usePackageWithNoise("noise.bin", 4096);
    if (dripBytes < 0)
        dripBytes = int(package.size() / -dripBytes) + 1;
    QByteArray manifest = goodManifest(server->url(packagePath), package);
    if (mode == HttpsServer::Endless)
        manifest = QByteArray(65536, ' ');
    const auto how = HttpsServer::Mode(mode);
    server->serve(manifestPath, manifest, 200, manifestMisbehaves ? how : HttpsServer::Complete,
                  dripBytes);
    server->serve(packagePath, package, 200, manifestMisbehaves ? HttpsServer::Complete : how,
                  dripBytes);
    settings.deltaUpdates = delta;
    if (delta)
        QVERIFY(writeFile(settings.installParent + QStringLiteral("/App.package"), package));

    window w(settings);
    run(w);

    QCOMPARE(log->lines().last(), lastLine);
    QVERIFY(log->lines().filter("Delta update not possible").isEmpty());
    const bool installed = lastLine.endsWith("successfully.");
    QCOMPARE(closer->boxes, installed ? 0 : 1);
    if (installed)
        QTRY_VERIFY(QFile::exists(report));
    else
        QCOMPARE(installedPrevious(), QStringLiteral("version 1.0"));
}

void tst_Network::bodyLimits_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("error");

    const int endless = HttpsServer::Endless;
    QTest::newRow("endless, no size")
            << endless << qint64(-1) << QString() << "More than the limit of 1048576 bytes";
    QTest::newRow("endless, with size") << endless << qint64(300000) << QString()
                                        << "More than the manifest's size of 300000 bytes";
    QTest::newRow("size over the limit")
            << endless << qint64(1048577) << QString()
            << "The manifest's size of 1048577 bytes is over the limit of 1048576 bytes";
    QTest::newRow("announced over the limit")
            << int(HttpsServer::Complete) << qint64(-1) << QString()
            << "Content-Length 2097152 is over the limit of 1048576 bytes";
    QTest::newRow("endless, into a file") << endless << qint64(-1) << "writable"
                                          << "More than the limit of 1048576 bytes";
    QTest::newRow("into a file that cannot be written")
            << int(HttpsServer::NoLength) << qint64(-1) << "read-only"
            << "Cannot write the package:";
}

void tst_Network::bodyLimits()
{
    QFETCH(int, mode);
    QFETCH(qint64, expectedSize);
    QFETCH(QString, file);
    QFETCH(QString, error);

    const qint64 limit = 1024 * 1024;
    server->serve(packagePath, QByteArray(mode == HttpsServer::Complete ? 2 * limit : 65536, 'x'),
                  200, HttpsServer::Mode(mode));
    QFile sink(env->filePath(QStringLiteral("package")));
    if (!file.isEmpty()) {
        QVERIFY(sink.open(QIODevice::WriteOnly));
        if (file == "read-only") {
            sink.close();
            QVERIFY(sink.open(QIODevice::ReadOnly));
        }
    }
    QNetworkAccessManager manager;
    Download download(&manager, server->url(packagePath), settings, limit, expectedSize, false,
                      file.isEmpty() ? nullptr : &sink);
    QSignalSpy finished(&download, &Download::finished);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);

    QVERIFY(download.failed());
    QVERIFY2(download.errorString().startsWith(error), qPrintable(download.errorString()));
    // What was taken in stays within the bound, whatever the server sent.
    const qint64 kept = file.isEmpty() ? download.takeBody().size() : sink.size();
    QVERIFY(kept <= (expectedSize >= 0 ? qMin(expectedSize, limit) : limit));
}

void tst_Network::digests_data()
{
    QTest::addColumn<int>("algorithm");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("piece");

    // Block boundaries (SHA-256: 64 bytes, padding from 56; BLAKE2b: 128), fed whole and
    // in pieces.
    const int sha256 = QCryptographicHash::Sha256;
    const int blake2b = QCryptographicHash::Blake2b_512;
    QTest::newRow("SHA-256, empty") << sha256 << 0 << 1;
    QTest::newRow("SHA-256, one byte") << sha256 << 1 << 1;
    QTest::newRow("SHA-256, 55 bytes") << sha256 << 55 << 55;
    QTest::newRow("SHA-256, 56 bytes") << sha256 << 56 << 7;
    QTest::newRow("SHA-256, 64 bytes") << sha256 << 64 << 64;
    QTest::newRow("SHA-256, one block and one byte") << sha256 << 65 << 13;
    QTest::newRow("SHA-256, a megabyte in odd pieces") << sha256 << 1048579 << 65537;
    QTest::newRow("BLAKE2b, empty") << blake2b << 0 << 1;
    QTest::newRow("BLAKE2b, 128 bytes") << blake2b << 128 << 128;
    QTest::newRow("BLAKE2b, one block and one byte") << blake2b << 129 << 64;
    QTest::newRow("BLAKE2b, a megabyte in odd pieces") << blake2b << 1048579 << 65537;
}

void tst_Network::digests()
{
    QFETCH(int, algorithm);
    QFETCH(int, size);
    QFETCH(int, piece);

    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(quint32(i) * 7919u % 251u);
    const auto kind = QCryptographicHash::Algorithm(algorithm);
    Digest hash(kind);
    for (int at = 0; at < size; at += piece)
        hash.addData(QByteArrayView(data).sliced(at, qMin(piece, size - at)));
    QCOMPARE(hash.result(), QCryptographicHash::hash(data, kind));
}

QTEST_MAIN(tst_Network)
#include "tst_network.moc"
