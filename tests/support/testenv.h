#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

// A temporary folder of a test's own. It is also TMPDIR for this process and the
// processes it starts, because Qt keeps the application's socket there on Unix: tests
// stay apart from each other and from a real updater.
class TestEnv
{
public:
    TestEnv();
    ~TestEnv();

    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }
    QProcessEnvironment environment() const;

    // Releases a segment that a killed updater (of `user`, or this process's) left under
    // the key of the updater's folder.
    void releaseOrphanedGuard(const QString &folder, int user = -1) const;

private:
    QTemporaryDir dir;
    QByteArray oldTmpDir;
};

// While it lives, root minds file permissions as any user does (the calling thread and
// the threads it starts drop the capabilities that override them), so that read-only
// folders stop root too. Does nothing for other users.
class PermissionsEnforced
{
public:
    PermissionsEnforced();
    ~PermissionsEnforced();
    PermissionsEnforced(const PermissionsEnforced &) = delete;
    PermissionsEnforced &operator=(const PermissionsEnforced &) = delete;
};

// The whole contents of a file; empty if it cannot be read.
QByteArray readFile(const QString &path);
// Makes `path` hold `bytes`; false when it cannot.
bool writeFile(const QString &path, const QByteArray &bytes);

// Signs `file` with the minisign secret key `key` into <file>.minisig, with minisign's
// `options` (-t <trusted comment>, say); returns the .minisig text, or nothing.
QByteArray minisignFile(const QString &key, const QString &file, const QStringList &options = {});
// A manifest's "signature" of `file` by `key` (a .key under the tests' certificates, such
// as "minisign"), with the trusted comment `comment`.
QString manifestSignature(const char *key, const QString &file, const QString &comment);

// `size` bytes that deflate does not shrink much, different for each `seed`.
QByteArray noise(qsizetype size, int seed = 0);

// The lower-case hex SHA-256 of `bytes`, as a manifest gives it.
QString hexDigest(const QByteArray &bytes);

// A manifest of version 2.0 that names `url` and the digest of `package`.
QByteArray goodManifest(const QString &url, const QByteArray &package);

// Runs the application's event loop until the program under test ends it; gives up with
// exit code 1 after `timeout` ms, so that a test cannot hang.
int execWithWatchdog(int timeout = 30000);

// Records every message that reaches Qt's message handler, as "D: text" or "W: text".
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    // Only the lines that start with one of these texts.
    QStringList linesStartingWith(const QStringList &prefixes) const;
};

// A program under test in a process of its own, with everything it has written so far.
class TestProcess : public QProcess
{
public:
    explicit TestProcess(const TestEnv &env);
    ~TestProcess() override;

    QByteArray out;
    QByteArray err;

    // Waits until standard output or error holds `text`.
    bool waitForText(const QByteArray &text, int timeout = 20000);
    // Waits for a normal end; false if it is still running after `timeout`.
    bool finishes(int timeout = 20000);
};
