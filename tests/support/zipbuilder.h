#pragma once

#include <QByteArray>
#include <QDateTime>
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
    // The time of every entry (default: now).
    ZipBuilder &at(const QDateTime &time);

    QByteArray build() const;

    // Damages the compressed data of the first entry, leaving the headers intact.
    static QByteArray damageFirstEntry(QByteArray zip);

    // Ways the directory at the end of an archive goes wrong (archives without comment):
    // an end record that declares `count` entries, as a tool without zip64 writes for
    // count + 65,536 of them; a broken record; the last record missing; every entry
    // declaring `size` unpacked bytes.
    static QByteArray declareEntries(QByteArray zip, quint16 count);
    static QByteArray breakRecord(QByteArray zip, int index);
    static QByteArray dropLastRecord(QByteArray zip);
    static QByteArray declareSizes(QByteArray zip, quint32 size);
    // Every entry from the `first` on declaring `size` unpacked bytes in a zip64 field.
    static QByteArray declareZip64Sizes(QByteArray zip, quint64 size, int first);

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
    QDateTime time;
};

// A program that records how it was started: its working directory, then the number of
// its arguments, then each argument, one a line, in $LAUNCH_REPORT. A small shell
// script, and on Windows the launchreporter program.
QByteArray launchReporter();

QFile::Permissions executable();
