#include "minisign.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

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

QByteArray signPackage(const QString &minisign, const QString &packagePath,
                       const QString &signaturePath, const QString &fileName,
                       const QString &secretKey, const QString &publicKey, QString *error)
{
    // The trusted comment minisign would write for the file under its final name.
    const QString comment = QStringLiteral("timestamp:%1\tfile:%2\thashed")
                                    .arg(qint64(std::time(nullptr)))
                                    .arg(fileName);
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
    return signature.readAll();
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
