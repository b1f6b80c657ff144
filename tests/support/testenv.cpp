#include "testenv.h"

#include "startup.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_LINUX
#    include <linux/capability.h>
#    include <sys/syscall.h>
#    include <unistd.h>
#endif

TestEnv::TestEnv() : oldTmpDir(qgetenv("TMPDIR"))
{
    qputenv("TMPDIR", dir.path().toLocal8Bit());
}

TestEnv::~TestEnv()
{
    qputenv("TMPDIR", oldTmpDir);
}

QProcessEnvironment TestEnv::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), dir.path());
#ifndef Q_OS_WIN
    // Windows programs draw on their own platform (under Wine, on its X display).
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
#endif
    return env;
}

void TestEnv::releaseOrphanedGuard(const QString &folder, int user) const
{
    releaseOrphanedSegment(folder, user);
}

#ifdef Q_OS_LINUX
static void setOverrides(bool on)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    const quint32 overrides = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH)
            | (1u << CAP_FOWNER);
    data[0].effective = on ? data[0].effective | (data[0].permitted & overrides)
                           : data[0].effective & ~overrides;
    if (syscall(SYS_capset, &header, data) != 0)
        qFatal("cannot change this thread's capabilities");
}

PermissionsEnforced::PermissionsEnforced()
{
    setOverrides(false);
}

PermissionsEnforced::~PermissionsEnforced()
{
    setOverrides(true);
}
#else
PermissionsEnforced::PermissionsEnforced() = default;
PermissionsEnforced::~PermissionsEnforced() = default;
#endif

QByteArray readFile(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray minisignFile(const QString &key, const QString &file, const QStringList &options)
{
    QFile::remove(file + QStringLiteral(".minisig"));
    QProcess minisign;
    minisign.start(QStringLiteral(MINISIGN_PROGRAM),
                   QStringList{"-S", "-s", key, "-m", file} + options);
    return minisign.waitForFinished() && minisign.exitCode() == 0
            ? readFile(file + QStringLiteral(".minisig"))
            : QByteArray();
}

QString manifestSignature(const char *key, const QString &file, const QString &comment)
{
    const QString secret = QStringLiteral(TEST_CERT_DIR "/%1.key").arg(QLatin1String(key));
    return QString::fromLatin1(minisignFile(secret, file, {"-t", comment}).toBase64());
}

QByteArray noise(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(((i + seed * 7919) * 2654435761u) >> 13);
    return bytes;
}

QString hexDigest(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray goodManifest(const QString &url, const QByteArray &package)
{
    return QStringLiteral(R"({"version": "2.0", "url": "%1", "hash": "%2"})")
            .arg(url, hexDigest(package))
            .toUtf8();
}

int execWithWatchdog(int timeout)
{
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(timeout);
    return QCoreApplication::exec();
}

static QStringList captured;
static QtMessageHandler previousHandler = nullptr;

static void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    const char *level = type == QtDebugMsg ? "D: " : type == QtWarningMsg ? "W: " : "O: ";
    // The program logs in the default category only; the offscreen platform says this
    // whenever a dialog opens, and the Windows one reports what Wine lacks.
    if (qstrcmp(context.category, "default") == 0
        && msg != QLatin1String("This plugin does not support propagateSizeHints()"))
        captured.append(QLatin1String(level) + msg);
    if (previousHandler)
        previousHandler(type, context, msg);
}

LogCapture::LogCapture()
{
    captured.clear();
    previousHandler = qInstallMessageHandler(captureMessage);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

QStringList LogCapture::lines() const
{
    return captured;
}

QStringList LogCapture::linesStartingWith(const QStringList &prefixes) const
{
    QStringList result;
    for (const QString &line : captured) {
        for (const QString &prefix : prefixes) {
            if (line.startsWith(prefix)) {
                result.append(line);
                break;
            }
        }
    }
    return result;
}

TestProcess::TestProcess(const TestEnv &env)
{
    setProcessEnvironment(env.environment());
    setWorkingDirectory(env.path());
    // Lines end in "\n" whatever the platform wrote.
    connect(this, &QProcess::readyReadStandardOutput, this,
            [this] { out += readAllStandardOutput().replace("\r\n", "\n"); });
    connect(this, &QProcess::readyReadStandardError, this,
            [this] { err += readAllStandardError().replace("\r\n", "\n"); });
}

TestProcess::~TestProcess()
{
    if (state() != QProcess::NotRunning) {
        kill();
        waitForFinished();
    }
}

bool TestProcess::waitForText(const QByteArray &text, int timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!out.contains(text) && !err.contains(text)) {
        if (deadline.hasExpired() || state() == QProcess::NotRunning)
            return out.contains(text) || err.contains(text);
        QTest::qWait(10);
    }
    return true;
}

bool TestProcess::finishes(int timeout)
{
    QDeadlineTimer deadline(timeout);
    while (state() != QProcess::NotRunning) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    QTest::qWait(0);
    out += readAllStandardOutput().replace("\r\n", "\n");
    err += readAllStandardError().replace("\r\n", "\n");
    return exitStatus() == QProcess::NormalExit;
}
