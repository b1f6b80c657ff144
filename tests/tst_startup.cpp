#include "localserver.h"
#include "names.h"
#include "startup.h"
#include "testenv.h"

#include <QFile>
#include <QtTest>

#ifdef Q_OS_UNIX
#    include <cerrno>
#    include <sys/socket.h>
#    include <sys/un.h>
#    include <unistd.h>
#endif

static const QByteArray banner = "=== Updater entry point ===\n";
static const QByteArray refusal = "Can't start more than one instance of the application.";
static const QByteArray pipelineStarted = "Downloading latest version...";

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void silentScan_data();
    void silentScan();
    void probeFindsRunningApplication();
    void probeClearsStaleSocket();
    void probeLeavesBusyApplication();
    void secondInstanceRefused();
    void runningApplicationEndsQuietly();
};

void tst_Startup::silentScan_data()
{
    QTest::addColumn<QByteArrayList>("arguments");
    QTest::addColumn<bool>("silent");

    QTest::newRow("none") << QByteArrayList{} << false;
    QTest::newRow("alone") << QByteArrayList{"--silent"} << true;
    QTest::newRow("among others") << QByteArrayList{"-x", "--silent", "file"} << true;
    QTest::newRow("last") << QByteArrayList{"a", "b", "--silent"} << true;
    QTest::newRow("twice") << QByteArrayList{"--silent", "--silent"} << true;
    QTest::newRow("upper case") << QByteArrayList{"--SILENT"} << false;
    QTest::newRow("mixed case") << QByteArrayList{"--Silent"} << false;
    QTest::newRow("single dash") << QByteArrayList{"-silent"} << false;
    QTest::newRow("with a value") << QByteArrayList{"--silent=1"} << false;
    QTest::newRow("no dashes") << QByteArrayList{"silent"} << false;
    QTest::newRow("blank before") << QByteArrayList{" --silent"} << false;
    QTest::newRow("blank after") << QByteArrayList{"--silent "} << false;
    QTest::newRow("prefix") << QByteArrayList{"--silen"} << false;
    QTest::newRow("empty") << QByteArrayList{""} << false;
}

void tst_Startup::silentScan()
{
    QFETCH(QByteArrayList, arguments);
    QFETCH(bool, silent);

    // The program name is never looked at, even when it is the option itself.
    QByteArrayList all = QByteArrayList{"--silent"} + arguments;
    QList<char *> argv;
    for (QByteArray &argument : all)
        argv.append(argument.data());
    argv.append(nullptr);
    QCOMPARE(silentRequested(int(all.size()), argv.data()), silent);
}

void tst_Startup::probeFindsRunningApplication()
{
    TestEnv env;
    TestProcess application(env);
    application.start(QStringLiteral(COMPANION_STANDIN));
    QVERIFY(application.waitForText("listening"));

    {
        LocalServer probe;
        QVERIFY(!probe.canStart);
    }
    // The application sees a client that comes and goes without a word.
    QVERIFY(application.waitForText("closed"));
    QCOMPARE(application.out, QByteArray("listening\nconnected\nclosed 0\n"));
}

void tst_Startup::probeClearsStaleSocket()
{
#ifdef Q_OS_WIN
    QSKIP("a named pipe leaves nothing behind when its application crashes");
#endif
    TestEnv env;
    // What a crashed application leaves behind: the name, and nobody listening.
    QFile stale(env.filePath(QString::fromLatin1(applicationSocket)));
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.close();

    LocalServer probe;
    QVERIFY(probe.canStart);
    QVERIFY(!stale.exists());

    LocalServer again;
    QVERIFY(again.canStart);
}

void tst_Startup::probeLeavesBusyApplication()
{
#ifndef Q_OS_UNIX
    QSKIP("fills a Unix socket's listen queue");
#else
    TestEnv env;
    // An application too busy to accept: its listen queue is full, so a connection
    // attempt neither succeeds nor is refused.
    const QByteArray path = QFile::encodeName(env.filePath(QString::fromLatin1(applicationSocket)));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    QCOMPARE(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QCOMPARE(listen(listener, 0), 0);
    QList<int> queued;
    const auto closeAll = qScopeGuard([&] {
        for (int fd : std::as_const(queued) + QList<int>{listener})
            close(fd);
    });
    for (bool full = false; !full && queued.size() < 64;) {
        queued.append(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
        full = ::connect(queued.last(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
                && errno == EAGAIN;
    }

    LocalServer probe;
    QVERIFY(!probe.canStart);
    QVERIFY(QFile::exists(QFile::decodeName(path)));
#endif
}

void tst_Startup::secondInstanceRefused()
{
    TestEnv env;
    auto first = std::make_unique<TestProcess>(env);
    first->start(QStringLiteral(UPDATER_UNDER_TEST));
    QVERIFY(first->waitForText(pipelineStarted));

    TestProcess second(env);
    second.start(QStringLiteral(UPDATER_UNDER_TEST), {QStringLiteral("--silent")});
    QVERIFY(second.finishes());
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.out, banner);
    QVERIFY2(second.err.contains(refusal), second.err);
    QVERIFY(!second.err.contains(pipelineStarted));

    // A killed updater leaves its segment behind; it must not lock the next one out.
    first->kill();
    QVERIFY(first->waitForFinished());
    first.reset();

    TestProcess third(env);
    third.start(QStringLiteral(UPDATER_UNDER_TEST));
    QVERIFY2(third.waitForText(pipelineStarted), third.err);
    QVERIFY(!third.err.contains(refusal));
}

void tst_Startup::runningApplicationEndsQuietly()
{
    TestEnv env;
    auto application = std::make_unique<TestProcess>(env);
    application->start(QStringLiteral(COMPANION_STANDIN));
    QVERIFY(application->waitForText("listening"));

    TestProcess updater(env);
    updater.start(QStringLiteral(UPDATER_UNDER_TEST));
    QVERIFY(updater.finishes());
    QCOMPARE(updater.exitCode(), 0);
    QCOMPARE(updater.out, banner);
    QVERIFY2(!updater.err.contains(pipelineStarted), updater.err);
    QVERIFY(application->waitForText("closed 0"));

    // It held the guard only while it probed, and the next run goes ahead once the
    // application is gone (killed, so its socket file stays behind).
    application.reset();
    TestProcess next(env);
    next.start(QStringLiteral(UPDATER_UNDER_TEST));
    QVERIFY2(next.waitForText(pipelineStarted), next.err);
    QVERIFY(!next.err.contains(refusal));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
