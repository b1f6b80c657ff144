#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// Builds a zip archive in memory, entry by entry, as a release tool would.
class ZipBuilder
{
public:
    // Entries made "on Windows" record no Unix attributes.
    explicit ZipBuilder(bool unixAttributes = true) : unixAttributes(unixAttributes) { }

    ZipBuilder &file(const QString &name, const QByteArray &data,
                     QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner);
    ZipBuilder &directory(const QString &name);
    ZipBuilder &encrypted(const QString &name, const QByteArray &data);
    ZipBuilder &symlink(const QString &name, const QString &target);
    ZipBuilder &stored(const QString &name, const QByteArray &data);

    QByteArray build() const;

    // Damages the compressed data of the first entry, leaving the headers intact.
    static QByteArray damageFirstEntry(QByteArray zip);

private:
    struct Entry
    {
        QString name;
        QByteArray data;
        quint32 mode = 0; // Unix file type and permission bits
        QByteArray password;
        int method = 8;
    };
    QList<Entry> entries;
    bool unixAttributes;
};

// A small shell script that records how it was started: its working directory, then
// the number of its arguments, then each argument, one a line, in $LAUNCH_REPORT.
QByteArray launchReporterScript();

QFile::Permissions executable();
