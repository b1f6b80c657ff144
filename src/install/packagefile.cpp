#include "packagefile.h"

#include "regularfile.h"

PackageFile::PackageFile(const QString &appPath) : name(appPath + QStringLiteral(".download")) { }

PackageFile::~PackageFile()
{
    data.close();
}

bool PackageFile::create(QString *why)
{
    QFile::remove(name);
    data.setFileName(name);
    if (openRegular(data, QIODevice::WriteOnly))
        return true;
    *why = QStringLiteral("Cannot write %1: %2").arg(name, data.errorString());
    return false;
}

QByteArray PackageFile::map()
{
    data.close();
    data.setFileName(name);
    if (!openRegular(data, QIODevice::ReadOnly) || data.size() == 0)
        return QByteArray();
    const uchar *bytes = data.map(0, data.size());
    return bytes ? QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), data.size())
                 : QByteArray();
}

void PackageFile::remove()
{
    // Closing unmaps it too.
    data.close();
    QFile::remove(name);
}
