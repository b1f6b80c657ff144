#include "zipbuilder.h"

#include "testenv.h"

#include <QBuffer>
#include <QtEndian>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

static quint32 unixMode(QFile::Permissions permissions)
{
    quint32 mode = 0;
    const QList<QPair<QFile::Permission, quint32>> bits = {
            {QFile::ReadOwner, 0400}, {QFile::WriteOwner, 0200}, {QFile::ExeOwner, 0100},
            {QFile::ReadGroup, 040},  {QFile::WriteGroup, 020},  {QFile::ExeGroup, 010},
            {QFile::ReadOther, 04},   {QFile::WriteOther, 02},   {QFile::ExeOther, 01}};
    for (const auto &bit : bits) {
        if (permissions & bit.first)
            mode |= bit.second;
    }
    return mode;
}

ZipBuilder &ZipBuilder::file(const QString &name, const QByteArray &data,
                             QFile::Permissions permissions)
{
    entries.append({name, data, 0100000 | unixMode(permissions), {}, 8});
    return *this;
}

ZipBuilder &ZipBuilder::directory(const QString &name)
{
    entries.append({name, {}, 040755, {}, 8});
    return *this;
}

ZipBuilder &ZipBuilder::encrypted(const QString &name, const QByteArray &data)
{
    entries.append({name, data, 0100644, "secret", 8});
    return *this;
}

ZipBuilder &ZipBuilder::symlink(const QString &name, const QString &target)
{
    entries.append({name, target.toUtf8(), 0120777, {}, 8});
    return *this;
}

ZipBuilder &ZipBuilder::stored(const QString &name, const QByteArray &data)
{
    entries.append({name, data, 0100644, {}, 0});
    return *this;
}

ZipBuilder &ZipBuilder::at(const QDateTime &when)
{
    time = when;
    return *this;
}

QByteArray ZipBuilder::build() const
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    QuaZip zip(&buffer);
    zip.setOsCode(unixAttributes ? 3 : 0);
    if (!zip.open(QuaZip::mdCreate))
        qFatal("cannot create a zip archive");
    for (const Entry &entry : entries) {
        QuaZipNewInfo info(entry.name);
        if (time.isValid())
            info.dateTime = time;
        info.externalAttr = unixAttributes ? entry.mode << 16 : 0;
        QuaZipFile out(&zip);
        const char *password = entry.password.isEmpty() ? nullptr : entry.password.constData();
        if (!out.open(QIODevice::WriteOnly, info, password, 0, entry.method, entry.method ? 6 : 0)) {
            qFatal("cannot add %s to a zip archive", qPrintable(entry.name));
        }
        out.write(entry.data);
        out.close();
    }
    zip.close();
    return bytes;
}

QByteArray ZipBuilder::damageFirstEntry(QByteArray zip)
{
    const auto *header = reinterpret_cast<const uchar *>(zip.constData());
    const int nameLength = qFromLittleEndian<quint16>(header + 26);
    const int extraLength = qFromLittleEndian<quint16>(header + 28);
    const int data = 30 + nameLength + extraLength;
    for (int i = data + 8; i < data + 24; ++i)
        zip[i] = char(~zip.at(i));
    return zip;
}

// Where each record of the directory starts, and where the end record is.
static QList<qsizetype> directoryRecords(const QByteArray &zip, qsizetype *end)
{
    const auto *bytes = reinterpret_cast<const uchar *>(zip.constData());
    *end = zip.size() - 22;
    QList<qsizetype> records;
    for (qsizetype at = qFromLittleEndian<quint32>(bytes + *end + 16); at < *end; at += 46
                 + qFromLittleEndian<quint16>(bytes + at + 28)
                 + qFromLittleEndian<quint16>(bytes + at + 30)
                 + qFromLittleEndian<quint16>(bytes + at + 32)) {
        records.append(at);
    }
    return records;
}

template<typename T>
static void put(QByteArray &zip, qsizetype at, T value)
{
    qToLittleEndian<T>(value, zip.data() + at);
}

QByteArray ZipBuilder::declareEntries(QByteArray zip, quint16 count)
{
    qsizetype end;
    directoryRecords(zip, &end);
    put<quint16>(zip, end + 8, count);
    put<quint16>(zip, end + 10, count);
    return zip;
}

QByteArray ZipBuilder::breakRecord(QByteArray zip, int index)
{
    qsizetype end;
    put<quint32>(zip, directoryRecords(zip, &end).at(index), 0x02014b51);
    return zip;
}

QByteArray ZipBuilder::dropLastRecord(QByteArray zip)
{
    qsizetype end;
    const qsizetype last = directoryRecords(zip, &end).last();
    const qsizetype removed = end - last;
    zip.remove(last, removed);
    end -= removed;
    put<quint32>(zip, end + 12,
                 quint32(qFromLittleEndian<quint32>(zip.constData() + end + 12) - removed));
    return zip;
}

QByteArray ZipBuilder::declareSizes(QByteArray zip, quint32 size)
{
    qsizetype end;
    for (qsizetype at : directoryRecords(zip, &end))
        put<quint32>(zip, at + 24, size);
    return zip;
}

QByteArray ZipBuilder::declareZip64Sizes(QByteArray zip, quint64 size, int first)
{
    qsizetype end;
    const QList<qsizetype> records = directoryRecords(zip, &end);
    const char *bytes = zip.constData();
    quint32 added = 0;
    // From the last, so that the records before keep their places.
    for (qsizetype i = records.size() - 1; i >= first; --i) {
        const qsizetype at = records.at(i);
        const quint16 nameLength = qFromLittleEndian<quint16>(bytes + at + 28);
        const quint16 extraLength = qFromLittleEndian<quint16>(bytes + at + 30);
        QByteArray field(20, Qt::Uninitialized);
        qToLittleEndian<quint16>(0x0001, field.data());
        qToLittleEndian<quint16>(16, field.data() + 2);
        qToLittleEndian<quint64>(size, field.data() + 4);
        qToLittleEndian<quint64>(qFromLittleEndian<quint32>(bytes + at + 20), field.data() + 12);
        put<quint32>(zip, at + 20, 0xffffffffu);
        put<quint32>(zip, at + 24, 0xffffffffu);
        put<quint16>(zip, at + 30, quint16(extraLength + 20));
        zip.insert(at + 46 + nameLength + extraLength, field);
        bytes = zip.constData();
        added += 20;
    }
    end = zip.size() - 22;
    put<quint32>(zip, end + 12, qFromLittleEndian<quint32>(zip.constData() + end + 12) + added);
    return zip;
}

QByteArray launchReporter()
{
#ifdef Q_OS_WIN
    static const QByteArray program = readFile(QStringLiteral(LAUNCH_REPORTER));
    return program;
#else
    return "#!/bin/sh\n"
           "{ pwd; echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; } > "
           "\"$LAUNCH_REPORT.part\"\n"
           "mv \"$LAUNCH_REPORT.part\" \"$LAUNCH_REPORT\"\n";
#endif
}

QFile::Permissions executable()
{
    return QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
            | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
}
