// The real program, copied into a folder of its own, against a real HTTPS release server
// on loopback, with a package made by the publishing tool, on a real X display.
//
// With WINDOWS_BUILD naming a Windows build of the project and WINE_RUN the toolchain's
// wine-run.sh, the same cases run the Windows program under Wine instead.
#include "httpsserver.h"
#include "startup.h"
#include "testenv.h"
#include "zipbuilder.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSharedMemory>
#include <QtTest>

#ifdef Q_OS_UNIX
#    include <csignal>
#    include <grp.h>
#    include <sys/resource.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

static const QByteArray banner = "=== Updater entry point ===\n";
static const QByteArray pipelineStarted = "Downloading latest version...";
static const QString manifestPath = QStringLiteral("/QVX/release/latest.json");
static const QString packagePath = QStringLiteral("/QVX/release/pellarin-3.1.zip");
static const QString windowsBuild = qEnvironmentVariable("WINDOWS_BUILD");
// What `cmake --install` made of the Windows build, run as it is, with plain Wine.
static const QString windowsInstalled = qEnvironmentVariable("WINDOWS_INSTALLED");
static const bool onWine = !windowsBuild.isEmpty();

// The program that a package installs as bin/PellarinApp.exe to report how it started.
static QByteArray reporter()
{
    return onWine ? readFile(windowsBuild + QStringLiteral("/tests/launchreporter.exe"))
                  : launchReporter();
}

// Starts `program` here, or under Wine for the Windows build.
static void startProgram(QProcess &process, const QString &program, const QStringList &arguments)
{
    if (onWine)
        process.start(qEnvironmentVariable("WINE_RUN"), QStringList{program} + arguments);
    else
        process.start(program, arguments);
}

#ifdef Q_OS_UNIX
// In a started process, before it runs the program.
static void becomeNobody()
{
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
        _exit(127);
}
#endif

// A process of another user may not read the checkout: its leak suppressions go along
// into `folder`, which it can read.
static void handOverSuppressions(QProcessEnvironment &environment, const QString &folder)
{
    QString options = environment.value(QStringLiteral("LSAN_OPTIONS"));
    const QRegularExpressionMatch file = QRegularExpression(QStringLiteral("suppressions=([^:]+)"))
                                                 .match(options);
    if (!file.hasMatch())
        return;
    const QString copy = folder + QStringLiteral("/lsan.supp");
    QFile::remove(copy);
    QFile::copy(file.captured(1), copy);
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    options.replace(file.capturedStart(1), file.capturedLength(1), copy);
    environment.insert(QStringLiteral("LSAN_OPTIONS"), options);
}

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void fullUpdate();
    void applicationRunning();
    void secondUpdaterWhileFirstWaits();
    void corruptedDownload();
    void startedByTheStarter();
    void selfUpdate_data();
    void selfUpdate();
    void killedSelfUpdate_data();
    void killedSelfUpdate();
    void qualify_data();
    void qualify();
    void signedRelease_data();
    void signedRelease();
    void guard_data();
    void guard();
    void supportLog();
    void field_data();
    void field();

private:
    // Publishes `bin/PellarinApp.exe` (a script that reports how it was started) with the
    // publishing tool as `version`, at packagePath for 3.1; returns the manifest and leaves
    // the package in `package`.
    QByteArray publish(const QStringList &options = {},
                       const QString &version = QStringLiteral("3.1"));
    // Publishes `folder` as the updater `version` for this platform beside the release;
    // returns the manifest and leaves the package in `package`.
    QByteArray publishUpdater(const QStringList &options, const QString &folder,
                              const QString &version);
    // An updater whose program is `program`, as 1.1 (or `version`) beside the release.
    QByteArray publishNextUpdater(const QByteArray &program, const QStringList &options = {},
                                  const QString &version = QStringLiteral("1.1"));
    void alterUpdaterEntry(const QString &setup, QJsonObject *entry);
    // Runs the publishing tool and serves the package that it made as `name`.
    void runPublish(const QStringList &arguments, const QString &name);
    // A self-updating installation whose one version, UPDATER_VERSION, is `program`.
    void installSelfUpdating(const QString &linuxProgram, const QString &windowsProgram);
    // Finds the error box on the display, sees that it waits for the user, and answers it.
    void answerErrorBox(TestProcess &updater);
    // `logToStderr` false: Qt's default, where a Windows GUI program logs to the debugger.
    // `tmpDir`: TMPDIR, and XDG_RUNTIME_DIR when it is a folder; `asOther`: as another user than
    // this one (root).
    std::unique_ptr<TestProcess> startUpdater(const QStringList &arguments = {},
                                              bool logToStderr = true,
                                              const QString &tmpDir = QString(),
                                              bool asOther = false);
    QString installed(const QString &name) const;
    // Puts this build's or this variant's program in place of the updater under test.
    void useUpdater(const QString &linuxProgram, const QString &windowsProgram);
    QString updaterPath() const;

    QProcess xvfb;
    QString display;
    std::unique_ptr<TestEnv> env;
    std::unique_ptr<HttpsServer> server;
    QString updaterDir;
    QString workingDir;
    QString report;
    QByteArray package;
    // The updater folder is a copy of the installed Windows program.
    bool installedCopy = false;
    // Whether the updater is killed after its nth rename in updater/ (0: never).
    int killAfterRename = 0;
    // The largest file the updater may write, as a full disk allows (0: no limit).
    qint64 fileSizeLimit = 0;
};

void tst_EndToEnd::initTestCase()
{
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                QStringLiteral("0"), QStringLiteral("800x600x24"), QStringLiteral("-nolisten"),
                QStringLiteral("tcp")});
    QVERIFY2(xvfb.waitForStarted(), "Xvfb is needed for these tests");
    QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine(), 10000);
    display = QLatin1Char(':') + QString::fromLatin1(xvfb.readLine().trimmed());
}

void tst_EndToEnd::cleanupTestCase()
{
    xvfb.terminate();
    xvfb.waitForFinished();
}

void tst_EndToEnd::init()
{
    env = std::make_unique<TestEnv>();
    server = std::make_unique<HttpsServer>(TEST_PORT);
    updaterDir = env->filePath(QStringLiteral("updater"));
    workingDir = env->filePath(QStringLiteral("cwd"));
    report = env->filePath(QStringLiteral("launched"));
    QVERIFY(QDir().mkpath(updaterDir + QStringLiteral("/App/bin")));
    QVERIFY(QDir().mkpath(workingDir));
    QVERIFY(QFile::copy(onWine ? windowsBuild
                                        + QStringLiteral("/tests/under-test/PellarinUpdater.exe")
                               : QStringLiteral(UPDATER_UNDER_TEST),
                        updaterPath()));
    QFile previous(updaterDir + QStringLiteral("/App/bin/PellarinApp.exe"));
    QVERIFY(previous.open(QIODevice::WriteOnly));
    previous.write("release 3.0");
}

void tst_EndToEnd::useUpdater(const QString &linuxProgram, const QString &windowsProgram)
{
    QFile::remove(updaterPath());
    QVERIFY(QFile::copy(onWine ? windowsBuild + windowsProgram : linuxProgram, updaterPath()));
}

void tst_EndToEnd::cleanup()
{
    env->releaseOrphanedGuard(updaterDir);
    installedCopy = false;
    server.reset();
    env.reset();
}

QByteArray tst_EndToEnd::publish(const QStringList &options, const QString &version)
{
    const QString app = env->filePath(QStringLiteral("release/app"));
    const QString www = env->filePath(QStringLiteral("release/www"));
    QDir().mkpath(app + QStringLiteral("/bin"));
    QDir().mkpath(app + QStringLiteral("/plugins"));
    QFile script(app + QStringLiteral("/bin/PellarinApp.exe"));
    script.open(QIODevice::WriteOnly);
    script.write(reporter());
    script.setPermissions(executable());
    script.close();

    const QString name = QStringLiteral("pellarin-%1.zip").arg(version);
    runPublish(options + QStringList{QStringLiteral("--output"), www, app, version}, name);
    return readFile(www + QStringLiteral("/latest.json"));
}

QByteArray tst_EndToEnd::publishUpdater(const QStringList &options, const QString &folder,
                                        const QString &version)
{
    const QString name = QStringLiteral("updater-%1.zip").arg(version);
    const QString www = env->filePath(QStringLiteral("release/www"));
    runPublish(options
                       + QStringList{QStringLiteral("--updater"), QStringLiteral("linux-x86_64"),
                                     QStringLiteral("--output"), www, folder, version},
               name);
    return readFile(www + QStringLiteral("/latest.json"));
}

QByteArray tst_EndToEnd::publishNextUpdater(const QByteArray &program, const QStringList &options,
                                            const QString &version)
{
    const QString next = env->filePath(QStringLiteral("release/updater"));
    QDir().mkpath(next);
    writeFile(next + "/PellarinUpdater", program);
    QFile::setPermissions(next + "/PellarinUpdater", executable());
    return publishUpdater(options, next, version);
}

void tst_EndToEnd::runPublish(const QStringList &arguments, const QString &name)
{
    const QString path = QStringLiteral("/QVX/release/") + name;
    QProcess tool;
    tool.start(QStringLiteral(PUBLISH_TOOL), arguments + QStringList{server->url(path)});
    tool.waitForFinished();
    if (tool.exitCode() != 0)
        qFatal("publishing failed: %s", tool.readAllStandardError().constData());
    package = readFile(env->filePath(QStringLiteral("release/www/")) + name);
    server->serve(path, package);
}

std::unique_ptr<TestProcess> tst_EndToEnd::startUpdater(const QStringList &arguments,
                                                        bool logToStderr, const QString &tmpDir,
                                                        bool asOther)
{
    auto updater = std::make_unique<TestProcess>(*env);
    QProcessEnvironment environment = env->environment();
    if (!tmpDir.isEmpty())
        environment.insert(QStringLiteral("TMPDIR"), tmpDir);
    if (QFileInfo(tmpDir).isDir())
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmpDir);
#ifdef Q_OS_UNIX
    if (asOther) {
        updater->setChildProcessModifier(becomeNobody);
        handOverSuppressions(environment, env->path());
    } else if (fileSizeLimit > 0) {
        updater->setChildProcessModifier([limit = fileSizeLimit] {
            const rlimit size{rlim_t(limit), rlim_t(limit)};
            // A write past it then fails as on a full disk, instead of ending the process.
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &size);
        });
    }
#else
    Q_UNUSED(asOther);
#endif
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("LAUNCH_REPORT"), report);
#ifdef KILL_AFTER_RENAME
    if (killAfterRename > 0) {
        environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KILL_AFTER_RENAME));
        environment.insert(QStringLiteral("KILL_AFTER_RENAME"), QString::number(killAfterRename));
        environment.insert(QStringLiteral("KILL_RENAME_IN"), updaterDir + "/updater");
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           environment.value(QStringLiteral("ASAN_OPTIONS"))
                                   + QStringLiteral(":verify_asan_link_order=0"));
    }
#endif
    if (!logToStderr)
        environment.insert(QStringLiteral("WINEQT_FORCE_STDERR_LOGGING"), QStringLiteral("0"));
    updater->setWorkingDirectory(workingDir);
    if (installedCopy) {
        // Nothing from the toolchain on the DLL search path: what it loads is its own.
        environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
        environment.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
        if (logToStderr)
            environment.insert(QStringLiteral("WINEQT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
        updater->setProcessEnvironment(environment);
        updater->start(QStringLiteral("wine"), QStringList{updaterPath()} + arguments);
        return updater;
    }
    updater->setProcessEnvironment(environment);
    startProgram(*updater, updaterPath(), arguments);
    return updater;
}

QString tst_EndToEnd::updaterPath() const
{
    return updaterDir
            + (onWine ? QStringLiteral("/PellarinUpdater.exe") : QStringLiteral("/PellarinUpdater"));
}

QString tst_EndToEnd::installed(const QString &name) const
{
    return QString::fromUtf8(readFile(updaterDir + QStringLiteral("/App/") + name));
}

void tst_EndToEnd::answerErrorBox(TestProcess &updater)
{
    QProcessEnvironment onDisplay = QProcessEnvironment::systemEnvironment();
    onDisplay.insert(QStringLiteral("DISPLAY"), display);
    QProcess search;
    search.setProcessEnvironment(onDisplay);
    const QStringList arguments{QStringLiteral("search"), QStringLiteral("--sync"),
                                QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                QStringLiteral("^Erreur$")};
    // xdotool ends without a window when one goes away while it looks (the splash window
    // as the box opens, say): it looks again. The event loop runs meanwhile, for the
    // release server of this process.
    QByteArray box;
    const auto found = [&] {
        if (!box.isEmpty() || search.state() != QProcess::NotRunning)
            return !box.isEmpty();
        box = search.readAllStandardOutput().trimmed();
        if (box.isEmpty())
            search.start(QStringLiteral("xdotool"), arguments);
        return !box.isEmpty();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(found(), "no error box appeared", 30000);

    // The box waits for the user, however long.
    QTest::qWait(1000);
    QCOMPARE(updater.state(), QProcess::Running);

    QProcess key;
    key.setProcessEnvironment(onDisplay);
    key.start(QStringLiteral("xdotool"),
              {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::fromLatin1(box),
               QStringLiteral("key"), QStringLiteral("Return")});
    QVERIFY(key.waitForFinished());
}

void tst_EndToEnd::fullUpdate()
{
    server->serve(manifestPath, publish());
    server->serve(packagePath, package);
    if (!windowsInstalled.isEmpty()) {
        QDirIterator it(windowsInstalled, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString target = updaterDir + QLatin1Char('/')
                    + QDir(windowsInstalled).relativeFilePath(it.next());
            QDir().mkpath(QFileInfo(target).path());
            QFile::remove(target);
            QVERIFY(QFile::copy(it.filePath(), target));
        }
        installedCopy = true;
    }

    auto updater = startUpdater({QStringLiteral("--silent")});
    QVERIFY(updater->finishes());
    QCOMPARE(updater->exitCode(), 0);
    QVERIFY(updater->out.startsWith(banner));
    QVERIFY2(updater->err.contains("Files verified\n"), updater->err);
    QVERIFY(updater->err.contains("Program launched successfully.\n"));
    QCOMPARE(server->requests, QStringList({"GET " + manifestPath, "GET " + packagePath}));

    // The started program sees exactly "--silent" and the updater's working directory.
    QTRY_VERIFY(QFile::exists(report));
    QFile launched(report);
    QVERIFY(launched.open(QIODevice::ReadOnly));
    const QString cwd = onWine
            ? "Z:" + QString(workingDir).replace(QLatin1Char('/'), QLatin1Char('\\'))
            : workingDir;
    QCOMPARE(launched.readAll(), cwd.toLocal8Bit() + "\n1\n--silent\n");
    QCOMPARE(installed(QStringLiteral("bin/PellarinApp.exe")), QString::fromUtf8(reporter()));
    QVERIFY(QFileInfo(updaterDir + QStringLiteral("/App/plugins")).isDir());
}

void tst_EndToEnd::applicationRunning()
{
    server->serve(manifestPath, publish());
    server->serve(packagePath, package);
    // On Windows the demonstration's application, listening on its named pipe.
    TestProcess application(*env);
    startProgram(application,
                 onWine ? windowsBuild + QStringLiteral("/demo-app/bin/PellarinApp.exe")
                        : QStringLiteral(COMPANION_STANDIN),
                 {});
    QVERIFY(application.waitForText(onWine ? "is running" : "listening"));

    auto updater = startUpdater({QStringLiteral("--silent")});
    QVERIFY(updater->finishes());
    QCOMPARE(updater->exitCode(), 0);
    QCOMPARE(updater->out, banner);
    QVERIFY2(!updater->err.contains("Downloading"), updater->err);
    QVERIFY(onWine || application.waitForText("closed 0"));
    QCOMPARE(server->requests, QStringList());
    QCOMPARE(installed(QStringLiteral("bin/PellarinApp.exe")), QStringLiteral("release 3.0"));
}

void tst_EndToEnd::secondUpdaterWhileFirstWaits()
{
    server->serve(manifestPath, publish(), 200, HttpsServer::Stall);

    // The first in a desktop session of its own, the second as from cron or su.
    const QString session = env->filePath(QStringLiteral("session"));
    QVERIFY(QDir().mkpath(session));
    QVERIFY(QFile::setPermissions(session, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    // (Under Wine another TMPDIR would be another Wine server, and so another session.)
    auto first = startUpdater({}, true, onWine ? QString() : session);
    QTRY_COMPARE_WITH_TIMEOUT(server->requests.size(), 1, 20000);

    auto second = startUpdater({QStringLiteral("--silent")});
    QVERIFY(second->finishes());
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(second->out, banner);
    QVERIFY(second->err.contains("Can't start more than one instance of the application."));
    QTest::qWait(300);
    QCOMPARE(server->requests.size(), 1);
    QCOMPARE(first->state(), QProcess::Running);

    if (onWine) {
        // A GUI program logs to the debugger; standard error only when asked to.
        auto third = startUpdater({}, false);
        QVERIFY(third->finishes());
        QCOMPARE(third->out, banner);
        QVERIFY2(!third->err.contains("Can't start"), third->err);
    }
}

void tst_EndToEnd::corruptedDownload()
{
    server->serve(manifestPath, publish());
    package[package.size() / 2] = char(~package.at(package.size() / 2));
    server->serve(packagePath, package);

    auto updater = startUpdater();
    answerErrorBox(*updater);
    QVERIFY(updater->err.contains("Download corrupted\n"));
    QVERIFY(updater->finishes());
    QCOMPARE(updater->exitCode(), 0);
    QCOMPARE(installed(QStringLiteral("bin/PellarinApp.exe")), QStringLiteral("release 3.0"));
    QVERIFY(!QFile::exists(report));
}

// A self-updating installation: the starter runs the version that updater/current names,
// which installs App beside the starter and proves itself.
void tst_EndToEnd::installSelfUpdating(const QString &linuxProgram, const QString &windowsProgram)
{
    const QString version = updaterDir + QStringLiteral("/updater/" UPDATER_VERSION);
    QVERIFY(QDir().mkpath(version));
    QVERIFY(QFile::copy(onWine ? windowsBuild + windowsProgram : linuxProgram,
                        version + (onWine ? "/PellarinUpdater.exe" : "/PellarinUpdater")));
    QVERIFY(writeFile(version + "/.complete", ""));
    QVERIFY(writeFile(updaterDir + "/updater/current", UPDATER_VERSION "\n"));
    useUpdater(QStringLiteral(STARTER_UNDER_TEST), QStringLiteral("/starter/PellarinUpdater.exe"));
}

void tst_EndToEnd::startedByTheStarter()
{
    installSelfUpdating(QStringLiteral(SELF_UPDATER_UNDER_TEST),
                        QStringLiteral("/tests/under-test-self/PellarinUpdater.exe"));
    const QString version = updaterDir + QStringLiteral("/updater/" UPDATER_VERSION);
    server->serve(manifestPath, publish());

    auto run = startUpdater({QStringLiteral("--silent")});
    QVERIFY2(run->finishes(), run->err);
    const qsizetype line = run->err.indexOf("Updater version: " UPDATER_VERSION "\n");
    QVERIFY2(line >= 0 && line < run->err.indexOf(pipelineStarted), run->err);
    QVERIFY2(run->err.contains("Program launched successfully.\n"), run->err);
    QTRY_VERIFY(QFile::exists(report));
    QCOMPARE(installed(QStringLiteral("bin/PellarinApp.exe")), QString::fromUtf8(reporter()));
    QVERIFY(QFile::exists(version + "/.healthy"));
    QVERIFY(!QFile::exists(version + "/App"));
}

void tst_EndToEnd::selfUpdate_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("current");

    const QString unchanged = UPDATER_VERSION;
    const QByteArray refused = "Updater 1.1 not installed: ";
    QTest::newRow("a newer updater")
            << "newer" << QByteArray("Updater 1.1 is now current") << "1.1";
    QTest::newRow("a newer updater that does not qualify")
            << "unqualified" << refused + "it did not qualify: its qualification ended with 1"
            << unchanged;
    QTest::newRow("a damaged updater package")
            << "damaged" << QByteArray(", the manifest says \"") << unchanged;
    QTest::newRow("a newer updater that cannot start")
            << "not a program" << refused + "it did not qualify: it does not start" << unchanged;
    QTest::newRow("an updater package without the updater")
            << "no program" << refused + "pas de fichier PellarinUpdater lisible" << unchanged;
    QTest::newRow("an older updater") << "older" << QByteArray() << unchanged;
    QTest::newRow("a version that failed to start before")
            << "failed" << refused + "it failed to start before" << unchanged;
    QTest::newRow("signed build, an unsigned updater package")
            << "signed, unsigned" << refused + "the manifest has no signature" << unchanged;
    QTest::newRow("signed build, an updater signed before the running one")
            << "signed, before" << refused + "signed at " << unchanged;
    QTest::newRow("signed build, an updater signed before the running one was built")
            << "signed, before build" << refused + "signed at 1970-01-01" << unchanged;
    QTest::newRow("signed build, an updater signed without its version")
            << "signed, no version" << refused + "its signature names no version" << unchanged;
    // Only the installation says whether a version ran, proved itself or failed.
    QTest::newRow("an updater package that holds stamps")
            << "stamps" << QByteArray("Updater 1.1 is now current") << "1.1";
    QTest::newRow("an updater version that ends in a newline")
            << "newline" << QByteArray("not installed: its version is not dotted numbers")
            << unchanged;
    QTest::newRow("a full disk during the updater's download")
            << "full disk" << refused << unchanged;
    // The update of the updater holds no guard: a start meanwhile starts the application.
    QTest::newRow("a second start during the update of the updater")
            << "second start" << refused + "another updater is installing one now" << "1.1";
}

// The manifest's updater entry for `setup`, hand-signed or made otherwise than by the
// publishing tool; fills `package` with what the server serves for it, and updater/ with
// what earlier starts left.
void tst_EndToEnd::alterUpdaterEntry(const QString &setup, QJsonObject *entry)
{
    const QString www = env->filePath(QStringLiteral("release/www"));
    if (setup == "stamps") {
        package = ZipBuilder()
                          .file("PellarinUpdater", "#!/bin/sh\nexit 0\n", executable())
                          .file(".healthy", "")
                          .file(".failed", "")
                          .build();
    } else if (setup == "full disk") {
        package = ZipBuilder().file("PellarinUpdater", noise(3 * 1024 * 1024), executable()).build();
        // What earlier starts on the full disk left, which this one clears first.
        const QString updater = updaterDir + QStringLiteral("/updater/");
        QVERIFY(writeFile(updater + "1.1.zip.partial", noise(1024)));
        QVERIFY(QDir().mkpath(updater + "1.1.partial") && QDir().mkpath(updater + "0.8"));
    } else if (setup == "newline") {
        entry->insert("version", "1.1\n");
    } else if (setup == "signed, before build" || setup == "signed, no version") {
        const QString comment = setup == "signed, no version"
                ? QStringLiteral("timestamp:%1\tfile:updater-1.1.zip")
                          .arg(QDateTime::currentSecsSinceEpoch())
                : QStringLiteral("timestamp:1000\tfile:updater-1.1.zip\tversion:1.1");
        entry->insert("signature", manifestSignature("minisign", www + "/updater-1.1.zip", comment));
    }
    if (setup == "stamps" || setup == "full disk") {
        entry->insert("hash", hexDigest(package));
        entry->insert("size", package.size());
    }
}

// After the application has been launched, the updater installs a newer version of itself
// beside it, and makes it current once it has qualified; or leaves everything as it was.
void tst_EndToEnd::selfUpdate()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, line);
    QFETCH(QString, current);
    if (onWine)
        QSKIP("the setup program's step updates the Windows program");

    const bool signedBuild = setup.startsWith("signed");
    installSelfUpdating(signedBuild ? SIGNED_SELF_UPDATER_UNDER_TEST : SELF_UPDATER_UNDER_TEST,
                        QString());
    const QString updater = updaterDir + QStringLiteral("/updater");
    const QStringList sign{"--sign", TEST_CERT_DIR "/minisign.key", "--public-key",
                           TEST_CERT_DIR "/minisign.pub"};
    publish(signedBuild ? sign : QStringList());
    const QString version = setup == "older" ? QStringLiteral("0.9") : QStringLiteral("1.1");
    // Qualifies, or not.
    const QByteArray program = setup == "newer" ? readFile(NEXT_UPDATER_UNDER_TEST)
            : setup == "not a program"          ? QByteArray("not a program")
            : setup == "unqualified"            ? QByteArray("#!/bin/sh\nexit 1\n")
                                                : QByteArray("#!/bin/sh\nexit 0\n");
    QJsonObject manifest = QJsonDocument::fromJson(publishNextUpdater(program,
                                                                      setup == "signed, before"
                                                                              ? sign
                                                                              : QStringList(),
                                                                      version))
                                   .object();
    const QString updaterPath = "/QVX/release/updater-" + version + ".zip";
    QJsonObject updaters = manifest.value("updater").toObject();
    QJsonObject entry = updaters.value("linux-x86_64").toObject();
    if (setup == "damaged") {
        package[package.size() / 2] = char(~package.at(package.size() / 2));
    } else if (setup == "no program") {
        package = ZipBuilder().file("readme.txt", "no program").build();
        entry.insert("hash", hexDigest(package));
        entry.insert("size", package.size());
    } else if (setup == "failed") {
        QVERIFY(QDir().mkpath(updater + "/1.1") && writeFile(updater + "/1.1/.failed", ""));
    } else if (setup == "signed, before") {
        const QByteArray later = QByteArray::number(QDateTime::currentSecsSinceEpoch() + 3600);
        QVERIFY(writeFile(updater + "/" UPDATER_VERSION "/.signed", later));
    }
    alterUpdaterEntry(setup, &entry);
    if (setup == "second start")
        server->serve(updaterPath, package, 200, HttpsServer::Drip);
    else
        server->serve(updaterPath, package);
    updaters.insert("linux-x86_64", entry);
    manifest.insert("updater", updaters);
    server->serve(manifestPath, QJsonDocument(manifest).toJson());

    fileSizeLimit = setup == "full disk" ? package.size() / 2 : 0;
    auto run = startUpdater({QStringLiteral("--silent")});
    fileSizeLimit = 0;
    if (setup == "second start") {
        QVERIFY(run->waitForText("found; installing"));
        auto second = startUpdater({QStringLiteral("--silent")});
        QVERIFY2(second->finishes(), second->err);
        QVERIFY2(second->err.contains("Program launched successfully.\n"), second->err);
        // The first goes on to its end.
        run.swap(second);
        QVERIFY2(second->finishes(60000), second->err);
    }
    QVERIFY2(run->finishes(60000), run->err);
    QTRY_VERIFY(QFile::exists(report));
    QVERIFY2(line.isEmpty() ? !run->err.contains(" found; installing") : run->err.contains(line),
             run->err);
    QCOMPARE(server->requests.contains("GET " + updaterPath),
             !line.isEmpty() && setup != "failed" && setup != "newline");
    QCOMPARE(readFile(updater + "/current"), current.toUtf8() + "\n");
    // Nothing left of an update that failed; the version that failed is kept marked.
    const QStringList kept = current == "1.1" || setup == "failed"
            ? QStringList{UPDATER_VERSION, "1.1", "current"}
            : QStringList{UPDATER_VERSION, "current"};
    QCOMPARE(QDir(updater).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             current == "1.1" ? kept + QStringList{"previous"} : kept);
    QCOMPARE(QDir(updater + "/1.1").entryList({".healthy", ".failed"}, QDir::Hidden | QDir::Files),
             setup == "failed" ? QStringList{".failed"} : QStringList());
    if (setup == "newer") {
        // The next start runs the new version; one that ends at once, as Pellarin runs,
        // proves nothing.
        TestProcess application(*env);
        application.start(QStringLiteral(COMPANION_STANDIN), QStringList());
        QVERIFY(application.waitForText("listening"));
        auto second = startUpdater({QStringLiteral("--silent")});
        QVERIFY2(second->finishes(), second->err);
        QVERIFY2(second->err.contains("Updater version: 1.1\n"), second->err);
        QVERIFY(!QFile::exists(updater + "/1.1/.healthy"));
    }
}

void tst_EndToEnd::killedSelfUpdate_data()
{
    QTest::addColumn<int>("rename");
    QTest::addColumn<int>("kills");

    QTest::newRow("killed once the new version is unpacked") << 1 << 1;
    QTest::newRow("killed once previous is written") << 2 << 1;
    QTest::newRow("killed once the new current is beside the old") << 3 << 1;
    QTest::newRow("killed once current is written") << 4 << 1;
    QTest::newRow("killed at random moments") << 0 << 40;
}

// Wherever a self-update is killed, the next start runs a complete updater, which launches
// the application and completes the update.
void tst_EndToEnd::killedSelfUpdate()
{
    QFETCH(int, rename);
    QFETCH(int, kills);
    if (onWine)
        QSKIP("the kills are made on Linux");

    installSelfUpdating(QStringLiteral(SELF_UPDATER_UNDER_TEST), QString());
    const QString updater = updaterDir + QStringLiteral("/updater");
    publish();
    server->serve(manifestPath, publishNextUpdater(readFile(NEXT_UPDATER_UNDER_TEST)));
    const QStringList everyProcess{QStringLiteral("-f"), updaterDir + QLatin1Char('/')};

    // An update that nothing stops, for how long one takes.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(startUpdater()->finishes(60000));
    const int whole = int(clock.elapsed());
    int inTheUpdate = 0;
    for (int kill = 0; kill < kills; ++kill) {
        QVERIFY(writeFile(updater + "/current", UPDATER_VERSION "\n"));
        QVERIFY(QDir(updater + "/1.1").removeRecursively());
        QFile::remove(updater + "/previous");
        killAfterRename = rename;
        auto killed = startUpdater();
        killAfterRename = 0;
        if (rename == 0) {
            QTest::qWait(QRandomGenerator::global()->bounded(whole));
            QProcess::execute(QStringLiteral("pkill"), QStringList{"-KILL"} + everyProcess);
        }
        killed->finishes(60000);
        QCOMPARE(killed->state(), QProcess::NotRunning);
        const auto alive = [&everyProcess] {
            QProcess search;
            search.start(QStringLiteral("pgrep"), everyProcess);
            return !search.waitForFinished() || search.exitCode() != 1;
        };
        QTRY_VERIFY(!alive());
        inTheUpdate += killed->err.contains("found; installing")
                && !killed->err.contains("is now current");
        QFile::remove(report);

        auto run = startUpdater();
        QVERIFY2(run->finishes(60000), run->err);
        QVERIFY2(run->err.contains("Program launched successfully.\n"), run->err);
        QTRY_VERIFY(QFile::exists(report));
        const QByteArray ran
                = run->err.mid(run->err.indexOf("Updater version: ") + 17).split('\n').first();
        QVERIFY2(QFile::exists(updater + "/" + ran + "/.complete"), ran);
        QCOMPARE(readFile(updater + "/current"), QByteArray("1.1\n"));
        QVERIFY(!QFile::exists(updater + "/" UPDATER_VERSION "/.failed"));
        QCOMPARE(QDir(updater).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList({UPDATER_VERSION, "1.1", "current", "previous"}));
    }
    qInfo("%d of %d kills inside the self-update", inTheUpdate, kills);
    QVERIFY(inTheUpdate >= kills / 4);
}

void tst_EndToEnd::qualify_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("the live release verifies")
            << "" << QByteArray("Qualified: this version would install the live release");
    QTest::newRow("server down") << "down"
                                 << QByteArray("Qualification failed: \"Connection refused\"");
    // Its proof costs the manifest and the package's last bytes, whatever its size.
    QTest::newRow("a package the server does not have")
            << "missing" << QByteArray("Qualification failed: \"HTTP 404");
    QTest::newRow("a package slower than a whole download allows, ranges ignored")
            << "slow" << QByteArray("Qualified: this version would install the live release");
    QTest::newRow("a release its keys refuse")
            << "signed" << QByteArray("Qualification failed: \"the manifest has no signature");
}

// A new version proves itself without a window, a guard or a change to the installation.
void tst_EndToEnd::qualify()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, line);

    if (setup == "signed")
        useUpdater(QStringLiteral(SIGNED_SELF_UPDATER_UNDER_TEST),
                   QStringLiteral("/tests/under-test-signed-self/PellarinUpdater.exe"));
    else
        useUpdater(QStringLiteral(SELF_UPDATER_UNDER_TEST),
                   QStringLiteral("/tests/under-test-self/PellarinUpdater.exe"));
    QJsonObject manifest = QJsonDocument::fromJson(publish()).object();
    if (setup == "missing")
        server->serve(packagePath, "gone", 404);
    else if (setup == "slow")
        server->serve(packagePath, package + noise(200 * 1024), 200, HttpsServer::Drip);
    server->rangeAnswer = setup == "slow" ? HttpsServer::WholeBody : HttpsServer::Part;
    manifest.remove("size");
    server->serve(manifestPath, QJsonDocument(manifest).toJson());
    if (setup == "down")
        server.reset();

    auto run = startUpdater({QStringLiteral("--qualify")});
    QVERIFY2(run->finishes(), run->err);
    QVERIFY2(run->err.contains(line), run->err);
    QCOMPARE(run->exitCode(), line.startsWith("Qualified") ? 0 : 1);
    QCOMPARE(installed(QStringLiteral("bin/PellarinApp.exe")), QStringLiteral("release 3.0"));
    QVERIFY(!QFile::exists(updaterDir + "/.healthy"));
}

void tst_EndToEnd::signedRelease_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("line");

    const QByteArray launched = "Program launched successfully.\n";
    const QByteArray refused = "Signature check failed: \"";
    QTest::newRow("signed release") << "" << launched;
    QTest::newRow("signed by the spare key") << "spare" << launched;
    // By whoever controls the server, who can also rewrite the manifest's digest and size.
    QTest::newRow("package replaced after signing")
            << "replaced" << refused + "the package does not match its signature\"\n";
    QTest::newRow("another version than the signed one")
            << "version" << refused + "the manifest's version \\\"9.9\\\" is not the signed";
    // Each of these after a first start that installed a release.
    QTest::newRow("an older release served again") << "older" << refused + "signed at ";
    QTest::newRow("a newer release by a key that an installed release revoked")
            << "revoked" << refused + "signed by the revoked key ";
    // By the spare key, revoking the vendor's: refused, it revokes nothing.
    QTest::newRow("unchanged, signed anew with an end date passed")
            << "expired" << refused + "the release expired at ";
    // What is kept cannot be trusted (missing or damaged takes the same way): the whole way
    // checks the release anew.
    QTest::newRow("unchanged, App.signed of the previous release")
            << "previous digest" << QByteArray("Files verified");
}

void tst_EndToEnd::signedRelease()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, line);

    useUpdater(QStringLiteral(SIGNED_UPDATER_UNDER_TEST),
               QStringLiteral("/tests/under-test-signed/PellarinUpdater.exe"));
    const auto key = [](const char *name) {
        return QStringList{
                QStringLiteral("--sign"), TEST_CERT_DIR "/" + QLatin1String(name) + ".key",
                QStringLiteral("--public-key"), TEST_CERT_DIR "/" + QLatin1String(name) + ".pub"};
    };
    QStringList options = key(setup == "spare" ? "spare" : "minisign");
    if (setup == "revoked")
        options << QStringLiteral("--revoke") << TEST_CERT_DIR "/spare.pub";
    if (setup == "expired")
        options << QStringLiteral("--expires") << QStringLiteral("1");
    QByteArray manifest = publish(options);
    QVERIFY(manifest.contains("\"signature\""));
    const QByteArray older = manifest;
    if (setup == "older") {
        // Signed a second later.
        QTest::qWait(1100);
        manifest = publish(options, QStringLiteral("3.2"));
    }
    QJsonObject object = QJsonDocument::fromJson(manifest).object();
    if (setup == "replaced") {
        package = ZipBuilder().file("bin/PellarinApp.exe", reporter(), executable()).build();
        object.insert("hash", hexDigest(package));
        object.insert("size", package.size());
        server->serve(packagePath, package);
    } else if (setup == "version") {
        object.insert("version", "9.9");
    }
    server->serve(manifestPath, QJsonDocument(object).toJson());

    const QString state = updaterDir + QStringLiteral("/App.signed");
    if (QStringList{"older", "revoked", "expired", "previous digest"}.contains(setup)) {
        auto first = startUpdater({QStringLiteral("--silent")});
        QVERIFY(first->finishes());
        QVERIFY2(first->err.contains("Program launched successfully.\n"), first->err);
        QTRY_VERIFY(QFile::exists(report));
        QVERIFY(QFile::remove(report));
    }
    if (setup == "previous digest") {
        // As a stop between the installation and App.signed leaves it.
        QJsonObject kept = QJsonDocument::fromJson(readFile(state)).object();
        kept.insert("blake2b", QString(128, 'a'));
        QVERIFY(writeFile(state, QJsonDocument(kept).toJson()));
    }
    if (setup == "older") {
        server->serve(manifestPath, older);
    } else if (setup == "revoked") {
        server->serve(manifestPath, publish(key("spare"), QStringLiteral("3.2")));
    } else if (setup == "expired") {
        // Signed now, with an end date two hours past.
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const QString comment
                = QStringLiteral("timestamp:%1\tfile:pellarin-3.1.zip\texpires:%2\trevokes:%3");
        const QString vendorId = QString::fromLatin1(
                readFile(TEST_CERT_DIR "/minisign.pub").split('\n').value(0).split(' ').last());
        object.insert("signature",
                      manifestSignature("spare", env->filePath("release/www/pellarin-3.1.zip"),
                                        comment.arg(now).arg(now - 7200).arg(vendorId)));
        server->serve(manifestPath, QJsonDocument(object).toJson());
    }
    server->requests.clear();

    const bool refusedLine = line.startsWith("Signature check failed");
    auto run = startUpdater({QStringLiteral("--silent")});
    if (refusedLine)
        answerErrorBox(*run);
    QVERIFY(run->finishes());
    QVERIFY2(run->err.contains(line), run->err);
    if (refusedLine)
        QVERIFY(!QFile::exists(report));
    else
        QTRY_VERIFY(QFile::exists(report));
    if (setup == "expired") {
        QCOMPARE(server->requests, QStringList{"GET " + manifestPath});
        QCOMPARE(QJsonDocument::fromJson(readFile(state)).object().value("revoked").toArray(),
                 QJsonArray());
    }
    QCOMPARE(run->exitCode(), 0);
}

void tst_EndToEnd::guard_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("refusal");

    QTest::newRow("another user's killed updater") << "another user" << QString();
    QTest::newRow("another user's segment under the old shared key") << "old key" << QString();
    QTest::newRow("another user's segment under the user's key")
            << "same key"
            << "another user holds the segment";
    // The temporary folder is no longer where the guard lives, whoever takes names in it.
    QTest::newRow("another user's folder in the way") << "folder" << QString();
    QTest::newRow("a file under the guard's old name") << "file" << QString();
    QTest::newRow("temporary folder not writable") << "read-only" << QString();
    QTest::newRow("updater's folder not writable") << "updater read-only"
                                                   << "QSharedMemory";
}

void tst_EndToEnd::guard()
{
    QFETCH(QString, setup);
    QFETCH(QString, refusal);

#ifdef Q_OS_UNIX
    const bool root = geteuid() == 0;
#else
    const bool root = false;
#endif
    if (onWine)
        QSKIP("the guard's key files are Unix's");
    if (setup != "file" && !root)
        QSKIP("only root can be two users");
    // A temporary folder that all users share, as /tmp is, and a tree they may enter.
    const QString tmp = env->filePath(QStringLiteral("tmp"));
    const QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
            | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(env->path(), open));
    QVERIFY(QFile::setPermissions(updaterDir,
                                  setup == "updater read-only" ? open : open | QFile::WriteOther));
    QVERIFY(QDir().mkpath(tmp));
    QVERIFY(QFile::setPermissions(tmp, setup == "read-only" ? open : open | QFile::WriteOther));
    if (setup == "file") {
#ifdef Q_OS_UNIX
        QFile file(tmp + QStringLiteral("/pellarin-updater-%1").arg(geteuid()));
        QVERIFY(file.open(QIODevice::WriteOnly));
#endif
    }
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp));
    std::unique_ptr<TestProcess> first;
    std::unique_ptr<TestProcess> updater;
    // What this user (root) holds in the way of the other (nobody).
    QSharedMemory squatter;
    // Killed updaters leave their segments behind, under this folder's keys.
    const auto release = qScopeGuard([&] {
        first.reset();
        updater.reset();
        squatter.detach();
        env->releaseOrphanedGuard(updaterDir);
        env->releaseOrphanedGuard(updaterDir, 65534);
        qputenv("TMPDIR", previous);
    });
    if (setup == "another user") {
        // Killed, it leaves its key files behind.
        first = startUpdater({}, true, tmp);
        QVERIFY2(first->waitForText(pipelineStarted), first->err);
        first->kill();
        QVERIFY(first->waitForFinished());
    } else if (setup == "old key") {
        // Where the key file of every user's updater once was.
        const QString key = QStringLiteral("%1-65534").arg(instanceKey);
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
        squatter.setNativeKey(QSharedMemory::legacyNativeKey(key, QNativeIpcKey::Type::SystemV));
#else
        squatter.setKey(key);
#endif
        QVERIFY2(squatter.create(512), qPrintable(squatter.errorString()));
    } else if (setup == "same key") {
        setInstanceKey(squatter, updaterDir, 65534);
        QVERIFY2(squatter.create(512), qPrintable(squatter.errorString()));
    } else if (setup == "folder") {
        QVERIFY(QDir().mkpath(tmp + QStringLiteral("/pellarin-updater-65534")));
    }

    updater = startUpdater({}, true, tmp, setup != "file");
    if (refusal.isEmpty()) {
        QVERIFY2(updater->waitForText(pipelineStarted), updater->err);
        QVERIFY(!updater->err.contains("guard"));
        return;
    }
    QVERIFY2(updater->waitForText("Can't create the single-instance guard:"), updater->err);
    answerErrorBox(*updater);
    QVERIFY(updater->finishes());
    QVERIFY2(updater->err.contains(refusal.toUtf8()), updater->err);
    QVERIFY2(updater->exitCode() == 0, updater->err);
    QCOMPARE(updater->out, banner);
    QVERIFY(!updater->err.contains(pipelineStarted));
}

void tst_EndToEnd::supportLog()
{
    // Built with UPDATER_LOG_FILE (and UPDATER_SHOW_PROGRESS).
    useUpdater(QStringLiteral(OPTIONS_UPDATER_UNDER_TEST),
               QStringLiteral("/tests/under-test-options/PellarinUpdater.exe"));
    server->serve(manifestPath, publish());
    server->serve(packagePath, package);
    const QString log = updaterDir + QStringLiteral("/PellarinUpdater.log");
    // Every line with its time and level; the run's own, in order, among Qt's.
    const auto runIn = [](const QByteArray &file) {
        const QRegularExpression line(
                R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (debug|warning|critical|info): .*$)");
        QStringList lines;
        for (const QByteArray &raw : file.split('\n')) {
            const QString text = QString::fromUtf8(raw.trimmed());
            if (!text.isEmpty() && !line.match(text).hasMatch())
                return QStringList{QStringLiteral("unexpected: ") + text};
            if (text.contains(QLatin1String(" debug: ")))
                lines.append(text.mid(text.indexOf(QLatin1String(" debug: ")) + 8));
        }
        return lines;
    };
    for (const char *run : {"first", "second"}) {
        auto updater = startUpdater();
        QVERIFY2(updater->finishes(), run);
        // Standard error (or the debugger) still has every line.
        QVERIFY2(updater->err.contains("Program launched successfully."), updater->err);
        const QStringList lines = runIn(readFile(log));
        QVERIFY2(lines.value(0) == QLatin1String("Downloading latest version...")
                         && lines.last() == QLatin1String("Program launched successfully."),
                 qPrintable(lines.join(QLatin1Char('|'))));
    }
    // The run before is kept, whole.
    QCOMPARE(runIn(readFile(log + QStringLiteral(".1"))), runIn(readFile(log)));
    if (onWine)
        return;

    // A link in the log's place that cannot be moved aside: the log is skipped, and
    // what the link points to is left alone.
    const QString target = env->filePath(QStringLiteral("someone's file"));
    QFile file(target);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("kept") == 4);
    file.close();
    QVERIFY(QFile::remove(log + QStringLiteral(".1")) && QFile::remove(log));
    QVERIFY(QDir().mkpath(log + QStringLiteral(".1/in the way")));
    QVERIFY(QFile::link(target, log));
    auto updater = startUpdater();
    QVERIFY(updater->finishes());
    QVERIFY2(updater->err.contains("Program launched successfully."), updater->err);
    QCOMPARE(readFile(target), QByteArray("kept"));
}

void tst_EndToEnd::field_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("downloads");

    const QByteArray offline = "Update not possible, starting the installed release:";
    QTest::newRow("unchanged") << "unchanged"
                               << QByteArray("Release already installed and complete") << false;
    QTest::newRow("a file in App changed") << "changed" << QByteArray("Files verified") << true;
    QTest::newRow("a new release") << "new release" << QByteArray("Files verified") << true;
    QTest::newRow("server down") << "down" << offline + " \"Connection refused\"" << false;
    QTest::newRow("wrong digest") << "digest" << offline + " \"" << true;
    QTest::newRow("a package the pre-flight refuses")
            << "no program" << offline + " \"pas de fichier" << true;
    QTest::newRow("nothing installed, server down") << "nothing" << QByteArray() << false;
    QTest::newRow("killed while installing, then server down") << "killed" << offline << false;
    // The new release and its record had been swapped in; the old one was being removed.
    QTest::newRow("killed after the swap, then server down") << "swapped" << offline << false;
    // A record that is no regular file is read as none, at once.
    QTest::newRow("record is a pipe") << "fifo" << QByteArray("Files verified") << true;
    QTest::newRow("record is a link to a device") << "zero" << QByteArray("Files verified") << true;
}

void tst_EndToEnd::field()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, line);
    QFETCH(bool, downloads);

    if (setup == "killed" && onWine)
        QSKIP("killing the Wine loader need not kill the Windows program at once");
    if ((setup == "fifo" || setup == "zero") && onWine)
        QSKIP("no pipes or devices in the file system on Windows");
    // Built with UPDATER_SKIP_UNCHANGED and UPDATER_OFFLINE_START.
    useUpdater(QStringLiteral(FIELD_UPDATER_UNDER_TEST),
               QStringLiteral("/tests/under-test-field/PellarinUpdater.exe"));
    const QByteArray manifest = publish();
    server->serve(manifestPath, manifest);
    server->serve(packagePath, package);
    if (setup != "nothing") {
        auto first = startUpdater();
        QVERIFY(first->finishes());
        QVERIFY2(first->err.contains("Program launched successfully."), first->err);
        QTRY_VERIFY(QFile::exists(report));
        QVERIFY(QFile::remove(report));
        server->requests.clear();
    }
    // The second start meets this.
    const QString next = QStringLiteral("/QVX/release/pellarin-3.2.zip");
    ZipBuilder release;
    if (setup != "no program")
        release.file("bin/PellarinApp.exe", reporter(), executable());
    for (int i = 0; setup == "killed" && i < 40; ++i)
        release.stored(QStringLiteral("data/%1.bin").arg(i),
                       QByteArray(2 << 20, char('a' + i % 26)));
    const QByteArray newPackage = release.file("share/version.txt", "3.2").build();
    const QString record = updaterDir + QStringLiteral("/App.record");
    if (setup == "changed") {
        QFile file(updaterDir + QStringLiteral("/App/bin/PellarinApp.exe"));
        QVERIFY(file.open(QIODevice::Append) && file.write("#\n") == 2);
    } else if (setup == "fifo" || setup == "zero") {
#ifdef Q_OS_UNIX
        QVERIFY(QFile::remove(record));
        QVERIFY(setup == "fifo" ? mkfifo(QFile::encodeName(record).constData(), 0600) == 0
                                : QFile::link(QStringLiteral("/dev/zero"), record));
#endif
    } else if (setup != "unchanged") {
        QJsonObject other = QJsonDocument::fromJson(goodManifest(server->url(next), newPackage))
                                    .object();
        if (setup == "digest")
            other.insert(QStringLiteral("hash"), hexDigest("another package"));
        server->serve(manifestPath, QJsonDocument(other).toJson());
        server->serve(next, newPackage);
    }
    if (setup == "killed") {
        auto killed = startUpdater();
        QVERIFY2(killed->waitForText("Files verified"), killed->err);
        killed->kill();
        QVERIFY(killed->waitForFinished());
        env->releaseOrphanedGuard(updaterDir);
    }
    if (setup == "swapped") {
        QVERIFY(QFile::rename(record, updaterDir + QStringLiteral("/App.new.record")));
        QVERIFY(QDir().mkpath(updaterDir + QStringLiteral("/App.old/bin")));
    }
    if (setup == "down" || setup == "nothing" || setup == "killed" || setup == "swapped")
        server.reset();

    auto updater = startUpdater();
    if (line.isEmpty()) {
        answerErrorBox(*updater);
        QVERIFY(updater->finishes());
        QVERIFY(!QFile::exists(report));
        return;
    }
    QVERIFY2(updater->finishes(), updater->err);
    QVERIFY2(updater->err.contains(line), updater->err);
    QVERIFY2(updater->err.contains("Program launched successfully."), updater->err);
    QTRY_VERIFY(QFile::exists(report));
    if (server)
        QCOMPARE(server->requests.size(), downloads ? 2 : 1);
    // App holds one release, whole (a kill may come after the swap), and nothing is left
    // beside it.
    QCOMPARE(installed(QStringLiteral("bin/PellarinApp.exe")), QString::fromUtf8(reporter()));
    const bool newRelease = QFileInfo::exists(updaterDir + QStringLiteral("/App/share/version.txt"));
    QCOMPARE(newRelease, setup == "new release" || (setup == "killed" && newRelease));
    QCOMPARE(QDir(updaterDir + QStringLiteral("/App/data")).entryList(QDir::Files).size(),
             setup == "killed" && newRelease ? 40 : 0);
    QVERIFY(!QFileInfo::exists(updaterDir + QStringLiteral("/App.new")));
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_e2e.moc"
