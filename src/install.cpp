#include "window.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>

// A name that is absolute, names a drive, stream or resource, climbs out with "..", or
// an entry that is a symbolic link could put files outside App.
static bool isSafeEntry(const QString &name, const QuaZipFileInfo64 &info)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))
        || name.contains(QLatin1Char(':')) || info.isSymbolicLink()) {
        return false;
    }
    const QStringList segments = name.split(QLatin1Char('/'));
    return !segments.contains(QStringLiteral(".."));
}

// Only entries that the reader can check completely: no encryption (it would open
// without a password and yield garbage), stored or deflated.
static bool isReadableEntry(const QuaZipFileInfo64 &info)
{
    return !info.isEncrypted() && (info.method == 0 || info.method == Z_DEFLATED);
}

#ifndef Q_OS_WIN
// The execute bits an entry made on Unix records; anything else keeps the defaults.
static void applyExecuteBits(const QString &path, const QuaZipFileInfo64 &info)
{
    const int host = info.versionCreated >> 8;
    if (host != 3 && host != 19) // Unix, macOS
        return;
    const QFile::Permissions execute = info.getPermissions()
            & (QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther);
    if (execute)
        QFile::setPermissions(path, QFile::permissions(path) | execute);
}
#endif

int window::InstallAndLaunch(QByteArray package)
{
    QBuffer buffer(&package);
    buffer.open(QIODevice::ReadOnly);
    QuaZip zip(&buffer);
    if (!zip.open(QuaZip::mdUnzip, nullptr)) {
        qDebug() << "Impossible d'ouvrir le ZIP en mémoire !";
        return -1;
    }

    qint64 totalSize = 0;
    const QString parent =
            installParent.isEmpty() ? QCoreApplication::applicationDirPath() : installParent;
    const QString appPath = parent + QStringLiteral("/") + QStringLiteral("App");
    QDir appDir(appPath);
    if (appDir.exists())
        appDir.removeRecursively();
    if (!appDir.mkpath(QStringLiteral("."))) {
        qDebug() << "Impossible de créer le dossier App:" << appPath;
        return -1;
    }

    bool complete = true;
    QuaZipFile entry(&zip);
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        zip.getCurrentFileInfo(&info);
        const QString name = zip.getCurrentFileName();
        const QString path = appDir.filePath(name);
        if (!isSafeEntry(name, info)
            || !QDir::cleanPath(path).startsWith(appPath + QLatin1Char('/'))) {
            qDebug() << "Entrée ignorée, chemin hors du dossier App:" << name;
            continue;
        }
        if (!isReadableEntry(info) || !entry.open(QIODevice::ReadOnly)) {
            qDebug() << "Impossible d'ouvrir le fichier dans le ZIP";
            continue;
        }
        const QByteArray data = entry.readAll();
        entry.close();
        // The reader reports damaged data late: a short read, or a checksum error on close.
        if (entry.getZipError() != UNZ_OK || quint64(data.size()) != info.uncompressedSize) {
            qDebug() << "Impossible d'ouvrir le fichier dans le ZIP";
            continue;
        }
        if (WriteEntry(data, path)) {
#ifndef Q_OS_WIN
            if (!path.endsWith(QLatin1Char('/')))
                applyExecuteBits(path, info);
#endif
        } else {
            complete = false;
        }
        totalSize += data.size();
    }
    zip.close();

    const int sizeInMiB = int(double(totalSize) / 1048576.0);
    qDebug() << "Total size of all files in ZIP:" << sizeInMiB << "MB";

    if (!complete) {
        qDebug() << "Installation incomplète, lancement annulé.";
        return -1;
    }

    const QString program = appPath + QStringLiteral("/bin/PellarinApp.exe");
    qDebug() << "Launching program:" << program;
#ifndef Q_OS_WIN
    // Packages made on Windows record no execute bit, yet must start here too.
    if (QFile::exists(program))
        QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
#endif
    const QStringList arguments = silent ? QStringList{QStringLiteral("--silent")} : QStringList{};
    if (QProcess::startDetached(program, arguments, QString(), nullptr)) {
        qDebug() << "Program launched successfully.";
        return 0;
    }
    qDebug() << "Failed to launch program.";
    return -1;
}

bool window::WriteEntry(const QByteArray &data, const QString &path)
{
    if (path.endsWith(QChar('/'), Qt::CaseSensitive)) {
        QDir().mkpath(path);
        return true;
    }
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qDebug() << "Impossible de creer le fichier:" << path;
        return false;
    }
    const bool written = file.write(data) == data.size() && file.flush();
    file.close();
    if (!written) {
        qDebug() << "Impossible d'écrire le fichier:" << path;
        return false;
    }
    return true;
}
