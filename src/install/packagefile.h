#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

class MappingGuard;

// What a download that broke off belongs to, kept beside its bytes.
struct PartialDownload
{
    QString hash;
    qint64 size = -1;
    QString url;
    // The ETag or Last-Modified that the server gave its bytes.
    QByteArray validator;
};

// The package on disk beside App, on the same volume: written as it arrives, then mapped
// to be checked and unpacked, so that however large it is it costs no memory. With
// UPDATER_DELTA_UPDATES the installed release's package is kept as App.package, and a
// download that broke off is kept with what it belongs to, to be resumed.
class PackageFile
{
public:
    // <appPath>.download, or <appPath><suffix> for another file fetched the same way (a
    // patch file)
    explicit PackageFile(const QString &appPath,
                         const QString &suffix = QStringLiteral(".download"));
    ~PackageFile();
    PackageFile(const PackageFile &) = delete;
    PackageFile &operator=(const PackageFile &) = delete;

    // Made anew for writing, never through a link, whatever held its name; false, with the
    // reason, when it cannot be.
    bool create(QString *why);
    // The bytes a broken download left, opened to go on, when they belong to `wanted` (of
    // any size when it gives none; `kept` then says what they came with); otherwise they
    // are removed. Their length, or 0.
    qint64 resume(const PartialDownload &wanted, PartialDownload *kept);
    QFileDevice *file() { return &data; }
    // The whole file, mapped into memory rather than copied; empty when it is empty or
    // cannot be read. Valid until it is released. Cut short by another program meanwhile,
    // it reads as zeros past its new end (see mappingguard.h), and damaged() says so.
    QByteArray map();
    bool damaged() const;
    // Keeps what arrives for a later run, with what it belongs to, until forgetPartial().
    void keepPartial(const PartialDownload &partial);
    // Writes `bytes` as the whole file, for a later run, with what they belong to; and
    // what an earlier run so kept for `wanted`, with its validator, or nothing.
    void keepWhole(const QByteArray &bytes, const PartialDownload &partial);
    QByteArray keptWhole(const PartialDownload &wanted, QByteArray *validator) const;
    void forgetPartial();
    // Lets go of the file (Windows removes no file that is mapped) and removes it, unless
    // it was kept.
    void release();
    // Lets go of it and makes it the installed release's package.
    bool keepAsInstalled();

    QString path() const { return name; }

private:
    // Unmapped first: Windows neither removes nor renames a file that is mapped, and
    // closing does not unmap it.
    void close();

    const QString name;
    const QString installed;
    QFile data;
    uchar *mapped = nullptr;
    std::unique_ptr<MappingGuard> guard;
    bool kept = false;
};

// The package that the installed release came from, kept beside App.
QString installedPackagePath(const QString &appPath);
