#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The package on disk beside App, on the same volume: written as it arrives, then mapped
// to be checked and unpacked, so that however large it is it costs no memory.
class PackageFile
{
public:
    // <appPath>.download
    explicit PackageFile(const QString &appPath);
    ~PackageFile();
    PackageFile(const PackageFile &) = delete;
    PackageFile &operator=(const PackageFile &) = delete;

    // Made anew for writing, never through a link; false, with the reason, when it cannot be.
    bool create(QString *why);
    QFileDevice *file() { return &data; }
    // The whole file, mapped into memory rather than copied; empty when it is empty or
    // cannot be read. Valid until remove().
    QByteArray map();
    // Lets go of the file (Windows removes no file that is mapped) and removes it.
    void remove();

    QString path() const { return name; }

private:
    const QString name;
    QFile data;
};
