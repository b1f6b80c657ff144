#pragma once

#include <QByteArrayView>
#include <QString>

// Walks a zip archive's central directory record by record, from its start to the end
// record. The zip reader stops after as many entries as the end record declares, and
// at the first damaged record, without telling either apart from the real end: an
// archive whose count wrapped at 65,536 or whose directory is damaged would be
// installed in part. Sets `count` to the number of records; returns why the directory
// cannot be walked to its end or disagrees with the end record, or nothing.
QString countZipDirectory(QByteArrayView archive, qint64 *count);
