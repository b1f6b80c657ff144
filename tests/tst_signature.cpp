// Real minisign signatures, made here with the minisign program, against the check that
// builds with a vendor key run on every package.
#include "signature.h"
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
    for (const char *key : {"vendor", "other"}) {
        QVERIFY(minisign({"-G", "-W", "-p", env.filePath(QLatin1String(key) + ".pub"), "-s",
                          env.filePath(QLatin1String(key) + ".key")}));
    }
}

QByteArray tst_Signature::sign(const QString &key, const QString &name, const QByteArray &data,
                               const QStringList &options)
{
    QFile file(env.filePath(name));
    file.open(QIODevice::WriteOnly);
    file.write(data);
    file.close();
    QFile::remove(file.fileName() + ".minisig");
    if (!minisign(QStringList{"-S", "-s", env.filePath(key + ".key"), "-m", file.fileName()}
                  + options)) {
        qFatal("minisign could not sign %s", qPrintable(name));
    }
    return readFile(file.fileName() + ".minisig");
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
    QTest::newRow("package changed after signing") << base64(good) << package + "!"
                                                   << "the package does not match its signature";
    QByteArray comment = good;
    comment.replace("file:", "file:x");
    QTest::newRow("trusted comment changed")
            << base64(comment) << package << "the trusted comment does not verify";
    // As minisign itself names the key.
    const QByteArray otherId
            = readFile(env.filePath("other.pub")).split('\n').value(0).split(' ').last();
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

    QCOMPARE(checkSignature(publicKey("vendor"), signature,
                            QCryptographicHash::hash(package, QCryptographicHash::Blake2b_512),
                            QStringLiteral("pellarin-2.0.zip")),
             problem);
}

QTEST_GUILESS_MAIN(tst_Signature)
#include "tst_signature.moc"
