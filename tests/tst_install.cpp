#include "deltaplan.h"
#include "packagefile.h"
#include "testenv.h"
#include "unpack.h"
#include "window.h"
#include "zipbuilder.h"

#include <QDirIterator>
#include <QStorageInfo>
#include <QtTest>

#ifdef Q_OS_UNIX
#    include <csignal>
#    include <sys/resource.h>
#    include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#    include <cerrno>
#    include <cstring>
#    include <sys/mount.h>
#endif

static const QString exe = QStringLiteral("bin/PellarinApp.exe");

class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void layout_data();
    void layout();
    void previousInstallation_data();
    void previousInstallation();
    void failures_data();
    void failures();
    void unsafeNames_data();
    void unsafeNames();
    void unreadableEntries_data();
    void unreadableEntries();
    void shortWrite();
    void folderNotMade();
    void totalSize_data();
    void totalSize();
    void launch_data();
    void launch();
    void executeBits();
    void deltaPlan_data();
    void deltaPlan();

private:
    // `staged`: beside the old release and swapped in, as UPDATER_OFFLINE_START does.
    int install(const QByteArray &package, bool silent = false, bool staged = false);
    // Everything under `folder`: folders end in '/', files read "name=contents".
    static QStringList tree(const QString &folder);

    std::unique_ptr<TestEnv> env;
    QString parent;
    QString app;
    QString report;
    // A volume that a row mounted, to unmount after it.
    QString mounted;
};

void tst_Install::init()
{
    env = std::make_unique<TestEnv>();
    parent = env->filePath(QStringLiteral("updater"));
    app = parent + QStringLiteral("/App");
    // The launched program reports in a folder of its own, apart from what the checks list.
    report = env->filePath(QStringLiteral("report/launched"));
    QVERIFY(QDir().mkpath(env->filePath(QStringLiteral("report"))));
    QVERIFY(QDir().mkpath(app + QStringLiteral("/old")));
    QFile old(app + QStringLiteral("/old/file.txt"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("previous installation");
    qputenv("LAUNCH_REPORT", report.toLocal8Bit());
}

void tst_Install::cleanup()
{
#ifdef Q_OS_LINUX
    if (!mounted.isEmpty())
        umount2(QFile::encodeName(mounted).constData(), MNT_DETACH);
#endif
    mounted.clear();
    env.reset();
}

int tst_Install::install(const QByteArray &package, bool silent, bool staged)
{
    Settings settings;
    settings.installParent = parent;
    settings.offlineStart = staged;
    window w(settings);
    w.silent = silent;
    return w.InstallAndLaunch(package);
}

QStringList tst_Install::tree(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(folder).relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            entries.append(name + QLatin1Char('/'));
        } else {
            entries.append(name + QLatin1Char('=') + QString::fromUtf8(readFile(path)));
        }
    }
    entries.sort();
    return entries;
}

void tst_Install::layout_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QStringList>("installed");

    const QByteArray script = launchReporter();
    const QString exeEntry = exe + QLatin1Char('=') + QString::fromUtf8(script);

    QTest::newRow("directory entries")
            << ZipBuilder().directory("bin/").file(exe, script, executable()).build()
            << QStringList{"bin/", exeEntry};
    QTest::newRow("folders without entries")
            << ZipBuilder().file(exe, script, executable()).file("share/doc/a.txt", "A").build()
            << QStringList{"bin/", exeEntry, "share/", "share/doc/", "share/doc/a.txt=A"};
    QTest::newRow("empty folders")
            << ZipBuilder().file(exe, script).directory("cache/").directory("x/y/z/").build()
            << QStringList{"bin/", exeEntry, "cache/", "x/", "x/y/", "x/y/z/"};
    QTest::newRow("later duplicate wins") << ZipBuilder()
                                                     .file("a.txt", "first, and longer")
                                                     .file(exe, script)
                                                     .file("a.txt", "second")
                                                     .build()
                                          << QStringList{"a.txt=second", "bin/", exeEntry};
    // The later spelling wins, whichever writer thread each file goes to.
    ZipBuilder spellings;
    QStringList spelt{"bin/", exeEntry};
    spellings.file(exe, script);
    for (int i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("d%1/f").arg(i);
        spellings.file(name, "first")
                .file(i % 2 ? "./" + name : QStringLiteral("d%1//f").arg(i), "second");
        spelt << QStringLiteral("d%1/").arg(i) << name + "=second";
    }
    spelt.sort();
    QTest::newRow("one file named two ways") << spellings.build() << spelt;
    // Longer than the zip reader's 256-byte name buffer, alike in their first 256 bytes.
    const QString deep = QStringLiteral("folder-number/").repeated(20);
    QStringList deepTree{"bin/", exeEntry, deep + "one.txt=1", deep + "two.txt=2"};
    for (int i = 1; i <= 20; ++i)
        deepTree << QStringLiteral("folder-number/").repeated(i);
    deepTree.sort();
    QTest::newRow("long names") << ZipBuilder()
                                           .file(exe, script)
                                           .file(deep + "one.txt", "1")
                                           .file(deep + "two.txt", "2")
                                           .build()
                                << deepTree;
    QTest::newRow("stored and empty files")
            << ZipBuilder().stored("s.txt", "stored").file("empty.txt", "").file(exe, script).build()
            << QStringList{"bin/", exeEntry, "empty.txt=", "s.txt=stored"};
}

void tst_Install::layout()
{
    QFETCH(QByteArray, package);
    QFETCH(QStringList, installed);

    QCOMPARE(install(package), 0);
    // The earlier installation is gone, and nothing but App was touched.
    QCOMPARE(tree(app), installed);
    QCOMPARE(QDir(parent).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"App"});
    QTRY_VERIFY(QFile::exists(report));
}

void tst_Install::previousInstallation_data()
{
    QTest::addColumn<QString>("kind");

    QTest::newRow("many files in folders") << "many";
    QTest::newRow("read-only files and folders") << "read-only";
    QTest::newRow("read-only folder") << "read-only folder";
    QTest::newRow("links to the outside") << "links";
    QTest::newRow("App is a link") << "App link";
    // Staged, App goes aside as App.old before it is removed: only the link goes.
    QTest::newRow("App is a link, staged") << "App link staged";
    QTest::newRow("App.old is a link, App missing, staged") << "old link staged";
}

void tst_Install::previousInstallation()
{
    QFETCH(QString, kind);
#ifdef Q_OS_WIN
    if (kind.contains("link"))
        QSKIP("QFile::link makes shortcuts on Windows, not links");
#endif

    // Something outside App that links may point at, and which must survive.
    const QString outside = env->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside + "/inner"));
    QFile keep(outside + "/inner/keep.txt");
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.close();

    if (kind == "many") {
        for (int i = 0; i < 300; ++i) {
            const QString folder = app + QStringLiteral("/f%1/g%2").arg(i % 7).arg(i % 3);
            QVERIFY(QDir().mkpath(folder));
            QFile file(folder + QStringLiteral("/file%1").arg(i));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    } else if (kind == "read-only") {
        QFile file(app + "/old/file.txt");
        QVERIFY(file.setPermissions(QFile::ReadOwner));
        QVERIFY(QDir().mkpath(app + "/locked/deeper"));
        QVERIFY(QFile::setPermissions(app + "/locked/deeper",
                                      QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner));
    } else if (kind == "read-only folder") {
        QVERIFY(QDir().mkpath(app + "/sealed/inner"));
        QFile file(app + "/sealed/inner/file.txt");
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (const QString &folder : {app + "/sealed/inner", app + "/sealed"}) {
            QVERIFY(QFile::setPermissions(folder,
                                          QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther
                                                  | QFile::ExeOther));
        }
    } else if (kind == "links") {
        QVERIFY(QFile::link(outside, app + "/folder-link"));
        QVERIFY(QFile::link(outside + "/inner/keep.txt", app + "/old/file-link"));
    } else {
        QVERIFY(QDir(app).removeRecursively());
        QVERIFY(QFile::link(outside, kind.startsWith("old") ? app + ".old" : app));
    }

    {
        PermissionsEnforced enforced;
        QCOMPARE(install(ZipBuilder().file(exe, launchReporter(), executable()).build(), false,
                         kind.endsWith("staged")),
                 0);
    }
    QCOMPARE(tree(app), QStringList({"bin/", exe + "=" + QString::fromUtf8(launchReporter())}));
    QVERIFY(!QFileInfo(app).isSymLink());
    QVERIFY(QFile::exists(outside + "/inner/keep.txt"));
    QVERIFY(!QFileInfo::exists(app + ".old") && !QFileInfo(app + ".old").isSymLink());
    QTRY_VERIFY(QFile::exists(report));
}

void tst_Install::failures_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QStringList>("installed");

    const QString launching = "D: Launching program: \"%1/App/bin/PellarinApp.exe\"";
    const QString refused = "D: Paquet refusé, App inchangé: \"%1\"";
    const QStringList previous = {"old/", "old/file.txt=previous installation"};
    const QStringList cancelled = {"D: Installation incomplète, lancement annulé."};
    const QByteArray script = launchReporter();
    const QByteArray three = ZipBuilder().file("a.txt", "a").file(exe, script).file("c", "c").build();

    QTest::newRow("not a zip") << QByteArray("<html>Service unavailable</html>") << QString()
                               << QStringList{"D: Impossible d'ouvrir le ZIP en mémoire !"}
                               << previous;
    QTest::newRow("nothing at all")
            << QByteArray() << QString()
            << QStringList{"D: Impossible d'ouvrir le ZIP en mémoire !"} << previous;
    // The zip reader refuses an archive without entries.
    QTest::newRow("empty archive")
            << ZipBuilder().build() << QString()
            << QStringList{"D: Impossible d'ouvrir le ZIP en mémoire !"} << previous;
    const QString noProgram = refused.arg(
            "pas de fichier bin/PellarinApp.exe lisible dans le paquet");
    QTest::newRow("no executable")
            << ZipBuilder().file("readme.txt", "hello").directory("bin/").build() << QString()
            << QStringList{noProgram} << previous;
    QTest::newRow("executable encrypted") << ZipBuilder().encrypted(exe, script).build()
                                          << QString() << QStringList{noProgram} << previous;
    QTest::newRow("executable is a folder") << ZipBuilder().directory(exe + "/").build()
                                            << QString() << QStringList{noProgram} << previous;
    QTest::newRow("entry count wrapped")
            << ZipBuilder::declareEntries(three, 1) << QString()
            << QStringList{refused.arg("le répertoire compte 3 entrées, la fin en annonce 1")}
            << previous;
    QTest::newRow("damaged directory record")
            << ZipBuilder::breakRecord(three, 1) << QString()
            << QStringList{refused.arg("entrée 2 du répertoire endommagée")} << previous;
    QTest::newRow("directory cut short")
            << ZipBuilder::dropLastRecord(three) << QString()
            << QStringList{refused.arg("le répertoire compte 2 entrées, la fin en annonce 3")}
            << previous;
    // More than the disk holds, even with the old installation gone.
    ZipBuilder huge;
    huge.file(exe, script);
    const qint64 free = QStorageInfo(QDir::tempPath()).bytesAvailable();
    for (qint64 i = 0; i <= free / 0xffffffffLL; ++i)
        huge.file(QStringLiteral("data/%1.bin").arg(i), "x");
    QTest::newRow("no room") << ZipBuilder::declareSizes(huge.build(), 0xffffffffu) << QString()
                             << QStringList{"D: Paquet refusé, App inchangé: \"*"} << previous;
    // Two entries of 2^62 bytes, whose sum a signed count would wrap.
    QTest::newRow("sizes that wrap")
            << ZipBuilder::declareZip64Sizes(
                       ZipBuilder().file(exe, script).file("a.bin", "a").file("b.bin", "b").build(),
                       quint64(1) << 62, 1)
            << QString() << QStringList{"D: Paquet refusé, App inchangé: \"*"} << previous;
    ZipBuilder many;
    many.file(exe, script);
    for (int i = 0; i < 100; ++i)
        many.file(QStringLiteral("data/%1.txt").arg(i), "x");
    QTest::newRow("no free inodes")
            << many.build() << "few inodes" << QStringList{"D: Paquet refusé, App inchangé: \"*"}
            << previous;
    QTest::newRow("damaged executable")
            << ZipBuilder::damageFirstEntry(
                       ZipBuilder().file(exe, script + QByteArray(4096, '#')).file("a", "a").build())
            << QString() << QStringList{refused.arg("bin/PellarinApp.exe endommagé dans le paquet")}
            << previous;
    QTest::newRow("App is a file")
            << ZipBuilder().file(exe, script).build() << "App is a file"
            << QStringList{"D: Impossible de créer le dossier App: \"%1/App\""} << QStringList{};
    QTest::newRow("folder of another user")
            << ZipBuilder().file(exe, script).build() << "foreign folder"
            << QStringList{"D: Impossible de supprimer: \"%1/App/theirs/file\"",
                           "D: Impossible de supprimer: \"%1/App/theirs\"",
                           "D: Impossible de supprimer: \"%1/App\""}
                    + cancelled
            << QStringList{"theirs/", "theirs/file=theirs"};
    QTest::newRow("App is a link in a read-only folder")
            << ZipBuilder().file(exe, script).build() << "App link"
            << QStringList{"D: Impossible de supprimer: \"%1/App\""} + cancelled << QStringList{};
#ifdef Q_OS_WIN
    // Windows cannot delete a file that is open, here in this process.
    QTest::newRow("file held open")
            << ZipBuilder().file(exe, script).build() << "held open"
            << QStringList{"D: Impossible de supprimer: \"%1/App/old/file.txt\"",
                           "D: Impossible de supprimer: \"%1/App/old\"",
                           "D: Impossible de supprimer: \"%1/App\""}
                    + cancelled
            << previous;
#endif
    // A name that is both a file and a folder.
    const QString both = refused.arg("à la fois fichier et dossier dans le paquet: %2");
    QTest::newRow("file where a folder must be")
            << ZipBuilder().file(exe, script).file("data", "x").file("data/inner.txt", "y").build()
            << QString() << QStringList{both.arg("data")} << previous;
    QTest::newRow("folder entry named like the program, before it")
            << ZipBuilder().directory(exe + "/").file(exe, script).build() << QString()
            << QStringList{both.arg(exe)} << previous;
    QTest::newRow("file inside the program")
            << ZipBuilder().file(exe, script).file(exe + "/x", "x").build() << QString()
            << QStringList{both.arg(exe)} << previous;
    // Another program cuts the package file short while it is mapped: zeros, not SIGBUS.
    QTest::newRow("package file cut short while mapped")
            << ZipBuilder().file(exe, script).stored("data.bin", noise(64 * 1024)).build()
            << "cut short" << QStringList{"D: Impossible d'ouvrir le ZIP en mémoire !"} << previous;
}

void tst_Install::failures()
{
    QFETCH(QByteArray, package);
    QFETCH(QString, setup);
    QFETCH(QStringList, log);
    QFETCH(QStringList, installed);

    if (setup == "App is a file") {
        QVERIFY(QDir(app).removeRecursively());
        QFile file(app);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a folder");
    } else if (setup == "foreign folder") {
#ifdef Q_OS_UNIX
        if (geteuid() != 0)
#endif
            QSKIP("only root on Unix can give a folder to another user");
        QVERIFY(QDir().mkpath(app + "/theirs"));
        QFile file(app + "/theirs/file");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("theirs");
        file.close();
#ifdef Q_OS_UNIX
        QCOMPARE(chown(QFile::encodeName(app + "/theirs").constData(), 65534, 65534), 0);
#endif
        QVERIFY(QFile::setPermissions(app + "/theirs",
                                      QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther
                                              | QFile::ExeOther));
    } else if (setup == "few inodes") {
        // A volume with room for the bytes, not for the files.
#ifdef Q_OS_LINUX
        if (geteuid() != 0)
#endif
            QSKIP("only root on Linux can make a volume of its own");
        const QString volume = env->filePath("volume");
        QVERIFY(QDir().mkpath(volume));
#ifdef Q_OS_LINUX
        QVERIFY2(mount("tmpfs", QFile::encodeName(volume).constData(), "tmpfs", 0,
                       "size=16m,nr_inodes=48")
                         == 0,
                 strerror(errno));
#endif
        mounted = volume;
        parent = volume;
        app = parent + "/App";
        QVERIFY(QDir().mkpath(app + "/old"));
        QFile old(app + "/old/file.txt");
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("previous installation");
    } else if (setup == "App link") {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes shortcuts on Windows, not links");
#endif
        QVERIFY(QDir(app).removeRecursively());
        QVERIFY(QDir().mkpath(env->filePath("outside")));
        QVERIFY(QFile::link(env->filePath("outside"), app));
        QVERIFY(QFile::setPermissions(parent, QFile::ReadOwner | QFile::ExeOwner));
    }
    QFile held(app + "/old/file.txt");
    if (setup == "held open")
        QVERIFY(held.open(QIODevice::ReadOnly));
    PackageFile mapped(env->filePath("Cut"));
    if (setup == "cut short") {
#ifdef Q_OS_WIN
        QSKIP("Windows cuts no mapped file short");
#endif
        QVERIFY(writeFile(mapped.path(), package));
        package = mapped.map();
        QVERIFY(QFile::resize(mapped.path(), package.size() / 2));
    }
    for (QString &line : log)
        line.replace(QLatin1String("%1"), parent);

    LogCapture capture;
    {
        PermissionsEnforced enforced;
        QCOMPARE(install(package), -1);
    }
    QFile::setPermissions(parent, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(capture.lines().size(), log.size());
    for (qsizetype i = 0; i < log.size(); ++i) {
        if (log.at(i).endsWith(QLatin1Char('*')))
            QVERIFY2(capture.lines().at(i).startsWith(log.at(i).chopped(1)),
                     qPrintable(capture.lines().at(i)));
        else
            QCOMPARE(capture.lines().at(i), log.at(i));
    }
    if (setup == "App is a file")
        QCOMPARE(readFile(app), QByteArray("not a folder"));
    else
        QCOMPARE(tree(app), installed);
    QCOMPARE(mapped.damaged(), setup == "cut short");
    QTest::qWait(200);
    QVERIFY(!QFile::exists(report));
}

void tst_Install::unsafeNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("link");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("reason");

    const QString outside = QStringLiteral("chemin hors du dossier App");
    const QString unsupported = QStringLiteral("nom non pris en charge");
    // Each would land outside App if it were joined to it as it stands.
    QTest::newRow("parent folder") << "../outside.txt" << false << R"("../outside.txt")" << outside;
    QTest::newRow("climbs out later")
            << "bin/../../outside.txt" << false << R"("bin/../../outside.txt")" << outside;
    QTest::newRow("climbs out of a folder") << "a/b/../../../../outside.txt" << false
                                            << R"("a/b/../../../../outside.txt")" << outside;
    QTest::newRow("absolute") << QString() << false << QString() << outside;
    QTest::newRow("backslashes") << R"(..\outside.txt)" << false << R"("..\\outside.txt")"
                                 << outside;
    QTest::newRow("drive letter") << "C:outside.txt" << false << R"("C:outside.txt")" << outside;
    QTest::newRow("drive root") << "C:/outside.txt" << false << R"("C:/outside.txt")" << outside;
    QTest::newRow("network share")
            << R"(\\server\share\x)" << false << R"("\\\\server\\share\\x")" << outside;
    // Inside App, yet not a file name everywhere: a stream or a folder on Windows.
    QTest::newRow("stream") << "bin:outside.txt" << false << R"("bin:outside.txt")" << unsupported;
    QTest::newRow("backslash inside a name")
            << R"(data/a\b.ini)" << false << R"("data/a\\b.ini")" << unsupported;
    QTest::newRow("resource") << ":/outside.txt" << false << R"(":/outside.txt")" << outside;
    QTest::newRow("symbolic link") << "lib/link" << true << R"("lib/link")" << outside;
}

void tst_Install::unsafeNames()
{
    QFETCH(QString, name);
    QFETCH(bool, link);
    QFETCH(QString, logged);
    QFETCH(QString, reason);

    const QString outside = env->filePath(QStringLiteral("outside.txt"));
    if (name.isEmpty()) {
        name = outside;
        logged = QLatin1Char('"') + outside + QLatin1Char('"');
    }
    ZipBuilder builder;
    if (link)
        builder.symlink(name, outside);
    else
        builder.file(name, "escaped");
    builder.file(exe, launchReporter());

    LogCapture capture;
    QCOMPARE(install(builder.build()), 0);
    QCOMPARE(capture.lines().first(),
             QStringLiteral("D: Entrée ignorée, %1: %2").arg(reason, logged));
    QCOMPARE(capture.lines().at(1), QStringLiteral("D: Total size of all files in ZIP: 0 MB"));
    QVERIFY(!QFile::exists(outside));
    QCOMPARE(tree(app).size(), 2); // bin/ and the executable
    QCOMPARE(QDir(env->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"report", "updater"}));
    QTRY_VERIFY(QFile::exists(report));
}

void tst_Install::unreadableEntries_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<int>("written");

    const QByteArray big(300000, 'x');
    QTest::newRow("damaged data") << ZipBuilder::damageFirstEntry(
            ZipBuilder().file("big.bin", big).file(exe, launchReporter()).build())
                                  << "big.bin" << 2;
    QTest::newRow("encrypted")
            << ZipBuilder().encrypted("big.bin", big).file(exe, launchReporter()).build()
            << "big.bin" << 2;
    // Read whole, but with a checksum that differs; the program after it, read by the same
    // worker, must still come out.
    QTest::newRow("checksum error before the program")
            << ZipBuilder::damageFirstEntry(ZipBuilder()
                                                    .stored("a.bin", QByteArray(32, 'a'))
                                                    .file("big.bin", big)
                                                    .file(exe, launchReporter())
                                                    .build())
            << "a.bin" << 3;
}

void tst_Install::unreadableEntries()
{
    QFETCH(QByteArray, package);
    QFETCH(QString, missing);
    QFETCH(int, written);

    LogCapture capture;
    QCOMPARE(install(package), 0);
    QCOMPARE(capture.lines().first(),
             QStringLiteral("D: Impossible d'ouvrir le fichier dans le ZIP \"%1\"").arg(missing));
    QVERIFY(!QFile::exists(app + QLatin1Char('/') + missing));
    QCOMPARE(tree(app).size(), written);
    QCOMPARE(capture.lines().last(), QStringLiteral("D: Program launched successfully."));
    QTRY_VERIFY(QFile::exists(report));
}

void tst_Install::shortWrite()
{
#ifndef Q_OS_UNIX
    QSKIP("limits the file size through RLIMIT_FSIZE, which only Unix has");
#else
    // The file-size limit makes the write stop part way, as a full disk would.
    const QByteArray big(512 * 1024, 'x');
    const QByteArray package = ZipBuilder().file(exe, launchReporter()).file("big.bin", big).build();
    rlimit previous;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit limited = previous;
    limited.rlim_cur = 100 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    LogCapture capture;
    const int result = install(package);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(result, -1);
    QCOMPARE(capture.lines(),
             QStringList({"D: Impossible d'écrire le fichier: \"" + app + "/big.bin\"",
                          "D: Total size of all files in ZIP: 0 MB",
                          "D: Installation incomplète, lancement annulé."}));
    QTest::qWait(200);
    QVERIFY(!QFile::exists(report));
#endif
}

void tst_Install::folderNotMade()
{
    // A folder entry counts as written only when the folder is there.
    QFile file(env->filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(writeEntry({}, env->filePath("file/folder/")), NotCreated);
    QCOMPARE(writeEntry({}, env->filePath("folder/")), Written);
}

void tst_Install::totalSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("mebibytes");

    QTest::newRow("one byte under 1 MiB") << qint64(1048575) << 0;
    QTest::newRow("exactly 1 MiB") << qint64(1048576) << 1;
    QTest::newRow("12.9 MiB") << qint64(13526630) << 12;
}

void tst_Install::totalSize()
{
    QFETCH(qint64, bytes);
    QFETCH(int, mebibytes);

    // The executable counts too; the rest is split over two files and a folder.
    const QByteArray script = launchReporter();
    const qint64 rest = bytes - script.size();
    const QByteArray package = ZipBuilder()
                                       .file(exe, script)
                                       .directory("data/")
                                       .file("data/a.bin", QByteArray(rest / 2, 'a'))
                                       .stored("data/b.bin", QByteArray(rest - rest / 2, 'b'))
                                       .build();
    LogCapture capture;
    QCOMPARE(install(package), 0);
    QVERIFY(capture.lines().contains(
            QStringLiteral("D: Total size of all files in ZIP: %1 MB").arg(mebibytes)));
    QTRY_VERIFY(QFile::exists(report));
}

void tst_Install::launch_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("unixAttributes");

    QTest::newRow("silent") << true << true;
    QTest::newRow("not silent") << false << true;
    QTest::newRow("made on Windows, silent") << true << false;
    QTest::newRow("made on Windows") << false << false;
}

void tst_Install::launch()
{
    QFETCH(bool, silent);
    QFETCH(bool, unixAttributes);

    const QString workingDir = env->filePath(QStringLiteral("cwd"));
    QVERIFY(QDir().mkpath(workingDir));
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workingDir));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previousDir); });

    LogCapture capture;
    QCOMPARE(install(ZipBuilder(unixAttributes).file(exe, launchReporter(), executable()).build(),
                     silent),
             0);
    QCOMPARE(capture.lines(),
             QStringList({"D: Total size of all files in ZIP: 0 MB",
                          "D: Launching program: \"" + app + "/bin/PellarinApp.exe\"",
                          "D: Program launched successfully."}));

    QTRY_VERIFY(QFile::exists(report));
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArrayList lines = file.readAll().split('\n');
    QCOMPARE(QDir::fromNativeSeparators(QString::fromLocal8Bit(lines.at(0))), workingDir);
    if (silent) {
        QCOMPARE(lines.at(1), QByteArray("1"));
        QCOMPARE(lines.at(2), QByteArray("--silent"));
    } else {
        QCOMPARE(lines.at(1), QByteArray("0"));
    }
}

void tst_Install::executeBits()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no execute bits");
#endif
    const QByteArray package = ZipBuilder()
                                       .file(exe, launchReporter(), executable())
                                       .file("bin/tool.sh", "#!/bin/sh\n", executable())
                                       .file("data.txt", "data", QFile::ReadOwner)
                                       .build();
    const QByteArray windowsPackage
            = ZipBuilder(false).file(exe, launchReporter()).file("data.txt", "data").build();
    const QFile::Permissions ownerReadWrite = QFile::ReadOwner | QFile::WriteOwner;

    QCOMPARE(install(package), 0);
    QTRY_VERIFY(QFile::exists(report));
    QVERIFY(QFile::remove(report));
    QVERIFY(QFile::permissions(app + "/bin/tool.sh") & QFile::ExeOwner);
    QVERIFY(QFile::permissions(app + "/bin/tool.sh") & QFile::ExeOther);
    // Only execute bits are taken over: a read-only entry is still written read-write.
    QCOMPARE(QFile::permissions(app + "/data.txt") & (ownerReadWrite | QFile::ExeOwner),
             ownerReadWrite);

    QCOMPARE(install(windowsPackage), 0);
    QCOMPARE(QFile::permissions(app + "/data.txt") & (ownerReadWrite | QFile::ExeOwner),
             ownerReadWrite);
    QVERIFY(QFile::permissions(app + "/bin/PellarinApp.exe") & QFile::ExeOwner);
    QTRY_VERIFY(QFile::exists(report));
}

void tst_Install::deltaPlan_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QStringList>("next");
    QTest::addColumn<int>("reused");
    QTest::addColumn<int>("ranges");

    // Each entry as "name=seed:KiB".
    const QStringList release{"a=1:100", "b=2:100", "c=3:100", "d=4:100"};
    QTest::newRow("one entry changed")
            << release << QStringList{"a=1:100", "b=9:100", "c=3:100", "d=4:100"} << 3 << 1;
    QTest::newRow("the same bytes under another name")
            << release << QStringList{"a=1:100", "renamed=2:100", "c=3:100", "d=4:100"} << 4 << 0;
    // Less than 64 KiB apart: one request.
    QTest::newRow("two changes close together")
            << QStringList{"a=1:100", "b=2:1", "c=3:1", "d=4:100"}
            << QStringList{"a=1:100", "b=8:1", "c=9:1", "d=4:100"} << 2 << 1;
    QTest::newRow("nothing in common") << release << QStringList{"e=5:100", "f=6:100"} << 0 << 1;
}

void tst_Install::deltaPlan()
{
    QFETCH(QStringList, installed);
    QFETCH(QStringList, next);
    QFETCH(int, reused);
    QFETCH(int, ranges);

    const auto build = [](const QStringList &entries, int day) {
        ZipBuilder zip;
        zip.at(QDateTime(QDate(2026, 1, day), QTime(8, 0)));
        for (const QString &entry : entries) {
            const QStringList parts = entry.split(QRegularExpression("[=:]"));
            zip.stored(parts.at(0), noise(parts.at(2).toInt() * 1024, parts.at(1).toInt()));
        }
        return zip.build();
    };
    const QByteArray old = build(installed, 1);
    const QByteArray package = build(next, 2);
    ZipDirectory directory;
    QCOMPARE(readZipDirectory(package, package.size(), &directory), QString());
    DeltaPlan plan;
    QCOMPARE(planDelta(old, directory, package.size(), 64 * 1024, &plan), QString());

    QCOMPARE(plan.reused, reused);
    QCOMPARE(plan.ranges.size(), ranges);
    // Laid out as planned, the package is the new one byte for byte.
    QByteArray rebuilt(package.size(), '\0');
    for (const auto &[first, last] : std::as_const(plan.ranges))
        rebuilt.replace(first, last - first + 1, package.mid(first, last - first + 1));
    for (const auto &[at, header] : std::as_const(plan.headers))
        rebuilt.replace(at, header.size(), header);
    for (const DeltaPlan::Copy &copy : std::as_const(plan.copies))
        rebuilt.replace(copy.at, copy.length, old.mid(copy.from, copy.length));
    rebuilt.replace(directory.offset, directory.tailSize, package.mid(directory.offset));
    QVERIFY(rebuilt == package);
}

QTEST_MAIN(tst_Install)
#include "tst_install.moc"
