#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// Walks a zip archive's central directory record by record, from its start to the end
// record. The zip reader stops after as many entries as the end record declares, and
// at the first damaged record, without telling either apart from the real end: an
// archive whose count wrapped at 65,536 or whose directory is damaged would be
// installed in part. Sets `count` to the number of records; returns why the directory
// cannot be walked to its end or disagrees with the end record, or nothing.
QString countZipDirectory(QByteArrayView archive, qint64 *count);

// One record of a central directory, as far as rebuilding a package needs it.
struct ZipRecord
{
    QByteArray name;
    QByteArray extra;
    quint16 versionNeeded = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint16 time = 0;
    quint16 date = 0;
    quint32 crc = 0;
    qint64 compressedSize = 0;
    qint64 uncompressedSize = 0;
    qint64 localOffset = 0;
};

// A central directory with its place in the archive: it starts at `offset`, and the
// archive's last `tailSize` bytes are the directory and the end record.
struct ZipDirectory
{
    qint64 offset = 0;
    qint64 tailSize = 0;
    QList<ZipRecord> records;
};

// Reads the directory of an archive of `archiveSize` bytes from its last bytes, `tail`.
// Refuses a zip64 archive, data before the archive, a directory that `tail` does not
// hold whole, and records that do not lie one after the other; returns why, or nothing.
// With a `tail` too short, `needed` says how many last bytes would do.
QString readZipDirectory(QByteArrayView tail, qint64 archiveSize, ZipDirectory *directory,
                         qint64 *needed = nullptr);
