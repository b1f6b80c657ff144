#include "minisign.h"

#include "signature.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <ctime>

QString findMinisign()
{
    return QStandardPaths::findExecutable(QStringLiteral("minisign"));
}

// Runs minisign with the terminal as its own, so that it can ask for a password; what it
// says on standard error is passed on as it comes. Returns its last line of complaint
// when it fails, or nothing.
static QString runMinisign(const QString &program, const QStringList &arguments)
{
    QProcess minisign;
    minisign.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    minisign.setInputChannelMode(QProcess::ForwardedInputChannel);
    QByteArray said;
    QObject::connect(&minisign, &QProcess::readyReadStandardError, [&] {
        const QByteArray more = minisign.readAllStandardError();
        std::fwrite(more.constData(), 1, size_t(more.size()), stderr);
        std::fflush(stderr);
        said += more;
    });
    minisign.start(program, arguments);
    if (minisign.waitForFinished(-1) && minisign.exitStatus() == QProcess::NormalExit
        && minisign.exitCode() == 0) {
        return QString();
    }
    said += minisign.readAllStandardError();
    const QByteArrayList lines = said.trimmed().split('\n');
    const QString last = QString::fromLocal8Bit(lines.last().trimmed());
    return last.isEmpty() ? minisign.errorString() : last;
}

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

QString trustedComment(const SignedFields &fields)
{
    // As minisign would write it for the file under its final name, and what the updater
    // holds a release to.
    const qint64 now = qint64(std::time(nullptr));
    QString comment = QStringLiteral("timestamp:%1\tfile:%2\tversion:%3")
                              .arg(now)
                              .arg(fields.fileName, fields.version);
    if (!fields.revokes.isEmpty())
        comment += QStringLiteral("\trevokes:") + fields.revokes.join(QLatin1Char(','));
    if (fields.expiresDays > 0)
        comment += QStringLiteral("\texpires:%1").arg(now + qint64(fields.expiresDays) * 86400);
    return comment + QStringLiteral("\thashed");
}

QByteArray signPackage(const QString &minisign, const QString &packagePath,
                       const QString &signaturePath, const SignedFields &fields,
                       const QString &secretKey, const QString &publicKey, QString *error)
{
    const QString &fileName = fields.fileName;
    if (hasControlCharacter(fileName) || hasControlCharacter(fields.version)) {
        *error = QStringLiteral("a file name or version with a control character would add "
                                "fields to the signature");
        return QByteArray();
    }
    const QString comment = trustedComment(fields);
    QString why = runMinisign(minisign,
                              {QStringLiteral("-S"), QStringLiteral("-s"), secretKey,
                               QStringLiteral("-t"), comment, QStringLiteral("-x"), signaturePath,
                               QStringLiteral("-m"), packagePath});
    if (!why.isEmpty()) {
        *error = QStringLiteral("minisign could not sign %1 with %2: %3")
                         .arg(fileName, secretKey, why);
        return QByteArray();
    }
    if (!publicKey.isEmpty()) {
        why = runMinisign(minisign,
                          {QStringLiteral("-V"), QStringLiteral("-q"), QStringLiteral("-p"),
                           publicKey, QStringLiteral("-x"), signaturePath, QStringLiteral("-m"),
                           packagePath});
    }
    if (!why.isEmpty()) {
        *error = QStringLiteral("the signature made with %1 does not verify with %2: the keys "
                                "are not a pair (%3)")
                         .arg(secretKey, publicKey, why);
        return QByteArray();
    }
    QFile signature(signaturePath);
    if (!signature.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(signaturePath, signature.errorString());
        return QByteArray();
    }
    const QByteArray text = signature.readAll();
    const QString keyId = signatureKeyId(text);
    if (fields.revokes.contains(keyId)) {
        *error = QStringLiteral("--revoke names %1, the key that signs this release: a release "
                                "never revokes its own key")
                         .arg(keyId);
        return QByteArray();
    }
    return text;
}

QByteArray publicKeyLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArrayList lines = file.readAll().split('\n');
    const QByteArray key = lines.value(1).trimmed();
    return key.startsWith("RW") ? key : QByteArray();
}
