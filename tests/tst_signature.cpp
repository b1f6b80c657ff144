// Real minisign signatures, made here with the minisign program, against the check that
// builds with a vendor key run on every package.
#include "signature.h"
#include "signedstate.h"
#include "testenv.h"

#include <QCryptographicHash>
#include <QtTest>

class tst_Signature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();
    void policy_data();
    void policy();

private:
    // Signs `data` as the file `name`; returns the .minisig text.
    QByteArray sign(const QString &key, const QString &name, const QByteArray &data,
                    const QStringList &options = {});
    QByteArray publicKey(const QString &key) const;

    TestEnv env;
};

static bool minisign(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(MINISIGN_PROGRAM), arguments);
    return process.waitForFinished() && process.exitCode() == 0;
}

void tst_Signature::initTestCase()
{
    for (const char *key : {"vendor", "spare", "other"}) {
        QVERIFY(minisign({"-G", "-W", "-p", env.filePath(QLatin1String(key) + ".pub"), "-s",
                          env.filePath(QLatin1String(key) + ".key")}));
    }
}

QByteArray tst_Signature::sign(const QString &key, const QString &name, const QByteArray &data,
                               const QStringList &options)
{
    const QByteArray text = writeFile(env.filePath(name), data)
            ? minisignFile(env.filePath(key + ".key"), env.filePath(name), options)
            : QByteArray();
    if (text.isEmpty())
        qFatal("minisign could not sign %s", qPrintable(name));
    return text;
}

QByteArray tst_Signature::publicKey(const QString &key) const
{
    return readFile(env.filePath(key + ".pub")).split('\n').value(1);
}

void tst_Signature::check_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QString>("problem");

    const QString name = QStringLiteral("pellarin-2.0.zip");
    const QByteArray package = "PK\x03\x04 the package";
    const QByteArray good = sign("vendor", name, package);
    auto base64 = [](const QByteArray &text) { return QString::fromLatin1(text.toBase64()); };

    QTest::newRow("good") << base64(good) << package << QString();
    QTest::newRow("the spare key") << base64(sign("spare", name, package)) << package << QString();
    QTest::newRow("package changed after signing") << base64(good) << package + "!"
                                                   << "the package does not match its signature";
    QByteArray comment = good;
    comment.replace("file:", "file:x");
    QTest::newRow("trusted comment changed")
            << base64(comment) << package << "the trusted comment does not verify";
    // As minisign itself names the key, with its leading zeros.
    const QByteArray otherId = readFile(env.filePath("other.pub"))
                                       .split('\n')
                                       .value(0)
                                       .split(' ')
                                       .last()
                                       .rightJustified(16, '0');
    QTest::newRow("another key") << base64(sign("other", name, package)) << package
                                 << "signed by another key (id " + QString::fromLatin1(otherId)
                    + ")";
    QTest::newRow("legacy form")
            << base64(sign("vendor", name, package, {"-l"})) << package
            << "legacy signature of the whole file; only prehashed (ED) signatures are accepted";
    QTest::newRow("no signature") << QString() << package << "the manifest has no signature";
    QTest::newRow("not base64") << "RWQ*garbage*" << package << "the signature is not base64";
    QTest::newRow("not a signature") << base64("untrusted comment: x\nnothing\n") << package
                                     << "the signature is not a minisign signature";
    QTest::newRow("signed as another package")
            << base64(sign("vendor", "pellarin-1.0.zip", package)) << package
            << "the trusted comment does not name file:pellarin-2.0.zip";
}

void tst_Signature::check()
{
    QFETCH(QString, signature);
    QFETCH(QByteArray, package);
    QFETCH(QString, problem);

    SignedRelease release;
    QCOMPARE(checkSignature({publicKey("vendor"), publicKey("spare")}, signature,
                            QCryptographicHash::hash(package, QCryptographicHash::Blake2b_512),
                            QStringLiteral("pellarin-2.0.zip"), &release),
             problem);
    // The key that signed, as minisign names it.
    if (problem.isEmpty())
        QCOMPARE(release.keyId, signatureKeyId(QByteArray::fromBase64(signature.toLatin1())));
}

void tst_Signature::policy_data()
{
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<QString>("version");
    QTest::addColumn<qint64>("installed");
    QTest::addColumn<QString>("installedKey");
    QTest::addColumn<QStringList>("revoked");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QStringList>("remembered");

    // Signed by key 00000000000000AA; the installed release was signed at 1,000,000 s (-1:
    // none is), by `installedKey`; it is now 2,000,000 s, which a clock may be an hour
    // ahead of.
    const QByteArray file = "file:p.zip\t";
    const QStringList bb{"00000000000000BB"};
    QTest::newRow("newer") << file + "timestamp:1000001\tversion:2.0"
                           << "2.0" << qint64(1000000) << QString() << bb << QString() << bb;
    QTest::newRow("the same time, no version, unknown fields")
            << file + "timestamp:1000000\tcolour:blue"
            << "anything" << qint64(1000000) << QString() << bb << QString() << bb;
    QTest::newRow("older") << file + "timestamp:999999"
                           << "2.0" << qint64(1000000) << QString() << bb
                           << "signed at 1970-01-12T13:46:39Z, before the installed release "
                              "(signed at 1970-01-12T13:46:40Z)"
                           << bb;
    QTest::newRow("another version")
            << file + "timestamp:1000000\tversion:2.0"
            << "2.1" << qint64(1000000) << QString() << bb
            << R"(the manifest's version "2.1" is not the signed version "2.0")" << bb;
    QTest::newRow("end date ahead") << file + "timestamp:1000000\texpires:2000001"
                                    << "" << qint64(-1) << QString() << bb << QString() << bb;
    QTest::newRow("end date passed within the hour's allowance")
            << file + "timestamp:1000000\texpires:1996400"
            << "" << qint64(-1) << QString() << bb << QString() << bb;
    QTest::newRow("end date passed")
            << file + "timestamp:1000000\texpires:1996399"
            << "" << qint64(-1) << QString() << bb << "the release expired at 1970-01-24T02:33:19Z" << bb;
    QTest::newRow("revokes others, and itself in vain")
            << file + "timestamp:1000000\trevokes:cc,00000000000000AA,bb"
            << "" << qint64(-1) << QString() << bb << QString()
            << QStringList{"00000000000000BB", "00000000000000CC"};
    QTest::newRow("by a revoked key")
            << file + "timestamp:1000000"
            << "" << qint64(-1) << QString() << QStringList{"00000000000000AA"}
            << "signed by the revoked key 00000000000000AA" << QStringList{"00000000000000AA"};
    QTest::newRow("signed more than an hour ahead of the clock")
            << file + "timestamp:2003601" << "" << qint64(1000000) << QString() << bb
            << "signed at 1970-01-24T04:33:21Z, ahead of this machine's clock "
               "(1970-01-24T03:33:20Z)"
            << bb;
    // A release signed far ahead, then the key that signed it revoked: its time binds no more.
    QTest::newRow("older than a floor that a revoked key set")
            << file + "timestamp:1000001" << "" << qint64(3000000) << "00000000000000BB" << bb
            << QString() << bb;
    QTest::newRow("a time past what a date shows")
            << file + "timestamp:9223372036854775807" << "" << qint64(-1) << QString() << bb
            << R"(the trusted comment timestamp "9223372036854775807" is no time)" << bb;
    QTest::newRow("a time with a space")
            << file + "timestamp: 1000000" << "" << qint64(-1) << QString() << bb
            << R"(the trusted comment timestamp " 1000000" is no time)" << bb;
    QTest::newRow("an end date that is no time")
            << file + "timestamp:1000000\texpires:soon" << "" << qint64(-1) << QString() << bb
            << R"(the trusted comment expires "soon" is no time)" << bb;
    QTest::newRow("a field given twice")
            << file + "timestamp:1000000\ttimestamp:1000001" << "" << qint64(-1) << QString() << bb
            << "the trusted comment names timestamp twice" << bb;
}

void tst_Signature::policy()
{
    QFETCH(QByteArray, comment);
    QFETCH(QString, version);
    QFETCH(qint64, installed);
    QFETCH(QString, installedKey);
    QFETCH(QStringList, revoked);
    QFETCH(QString, problem);
    QFETCH(QStringList, remembered);

    SignedRelease release = readTrustedComment(comment);
    release.keyId = QStringLiteral("00000000000000AA");
    const SigningPolicy policy{{}, {installed, {}, revoked, installedKey}, 2000000};
    QCOMPARE(refuseSignedRelease(release, version, policy), problem);
    if (problem.isEmpty())
        QCOMPARE(withRevocations(policy.installed, release, {}).revoked, remembered);
}

QTEST_GUILESS_MAIN(tst_Signature)
#include "tst_signature.moc"
