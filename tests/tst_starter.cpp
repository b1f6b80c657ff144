// The starter of a self-updating installation, as a real program over a real folder:
// which updater version it runs, and what it marks.
#include "testenv.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#    include <csignal>

// As a parent that ignores SIGCHLD leaves it to its children.
static void ignoreChildren()
{
    signal(SIGCHLD, SIG_IGN);
}
#endif

#ifdef Q_OS_WIN
static const QString program = QStringLiteral("PellarinUpdater.exe");
#else
static const QString program = QStringLiteral("PellarinUpdater");
#endif

class tst_Starter : public QObject
{
    Q_OBJECT

private slots:
    void paths_data();
    void paths();
};

void tst_Starter::paths_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("ran");
    QTest::addColumn<QString>("failed");

    const QString current = QStringLiteral("1.1 --silent two words in cwd");
    const QString previous = QStringLiteral("1.0 --silent two words in cwd");
    QTest::newRow("current runs") << "" << QStringList{current} << QString();
    QTest::newRow("no current") << "no current" << QStringList{previous} << QString();
    QTest::newRow("current names a folder outside updater/")
            << "outside" << QStringList{previous} << QString();
    QTest::newRow("current without .complete")
            << "incomplete" << QStringList{previous} << QString();
    QTest::newRow("current marked .failed") << "marked" << QStringList{previous} << "1.1";
    QTest::newRow("current cannot be started") << "not a program" << QStringList{previous} << "1.1";
    QTest::newRow("current crashes before it proved itself")
            << "crash" << QStringList{current, previous} << "1.1";
    // A crash then is the machine's more likely than the version's.
    QTest::newRow("current proved itself, then crashes")
            << "proved crash" << QStringList{current} << QString();
    QTest::newRow("current stopped by a person") << "stop" << QStringList{current} << QString();
    // Not proved yet, any end but 0 is a failure.
    QTest::newRow("current exits 127") << "missing" << QStringList{current, previous} << "1.1";
    QTest::newRow("current hangs without a sign of life")
            << "hang" << QStringList{current, previous} << "1.1";
    // When the version before fails too, the machine is to blame: nothing is marked.
    QTest::newRow("nothing can run") << "nothing" << QStringList{current} << QString();
    QTest::newRow("current and previous crash")
            << "both crash" << QStringList{current, previous} << QString();
    QTest::newRow("started with SIGCHLD ignored")
            << "sigchld" << QStringList{current} << QString();
}

void tst_Starter::paths()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, ran);
    QFETCH(QString, failed);
#ifdef Q_OS_WIN
    if (setup == "nothing")
        QSKIP("the message box waits for a person");
#endif

    TestEnv env;
    const QString root = env.filePath("install");
    const QString updater = root + "/updater";
    QVERIFY(QDir().mkpath(env.filePath("cwd")));
    for (const QString version : {"1.0", "1.1"}) {
        const QString folder = updater + '/' + version;
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(VERSION_STANDIN, folder + '/' + program));
        QVERIFY(writeFile(folder + "/.complete", ""));
    }
    QVERIFY(QFile::copy(STARTER_UNDER_TEST, root + '/' + program));
    QVERIFY(writeFile(updater + "/current", setup == "outside" ? "../updater\n" : "1.1\n"));
    QVERIFY(writeFile(updater + "/previous", "1.0\n"));
    const QString next = updater + "/1.1/";
    if (setup == "no current")
        QVERIFY(QFile::remove(updater + "/current"));
    else if (setup == "incomplete")
        QVERIFY(QFile::remove(next + ".complete"));
    else if (setup == "marked")
        QVERIFY(writeFile(next + ".failed", ""));
    else if (setup == "not a program")
        QVERIFY(QFile::remove(next + program) && writeFile(next + program, "not a program"));
    else if (setup.endsWith("crash") || setup == "stop" || setup == "missing" || setup == "hang")
        QVERIFY(writeFile(next + "behaviour", setup.endsWith("crash") ? "crash" : setup.toUtf8()));
    if (setup == "both crash")
        QVERIFY(writeFile(updater + "/1.0/behaviour", "crash"));
    if (setup == "proved crash")
        QVERIFY(writeFile(next + ".healthy", ""));
    if (setup == "nothing") {
        QVERIFY(writeFile(next + "behaviour", "crash"));
        QVERIFY(QFile::remove(updater + "/previous"));
    }

    TestProcess starter(env);
    starter.setWorkingDirectory(env.filePath("cwd"));
    QProcessEnvironment environment = env.environment();
    environment.insert("PELLARIN_UPDATER_LIFE_SECONDS", "2");
    starter.setProcessEnvironment(environment);
#ifdef Q_OS_UNIX
    if (setup == "sigchld")
        starter.setChildProcessModifier(ignoreChildren);
#else
    if (setup == "sigchld")
        QSKIP("Unix signals");
#endif
    starter.start(root + '/' + program, {"--silent", "two words"});
    QVERIFY(starter.finishes());

    const QString text = QString::fromUtf8(readFile(root + "/ran.txt"));
    QCOMPARE(text.split('\n', Qt::SkipEmptyParts), ran);
    for (const QString version : {"1.0", "1.1"})
        QCOMPARE(QFile::exists(updater + '/' + version + "/.failed"), version == failed);
    QCOMPARE(starter.exitCode(), setup == "nothing" ? 1 : 0);
    if (setup == "nothing")
        QCOMPARE(starter.err, QByteArray("Pellarin cannot start; please install it again.\n"));
}

QTEST_GUILESS_MAIN(tst_Starter)
#include "tst_starter.moc"
