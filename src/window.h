#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QString>

class QLabel;
class QNetworkAccessManager;
class QNetworkReply;

// The splash window, which also carries the update: each stage is one slot or member
// function, and the state passes from one stage to the next through the data members.
class window : public QMainWindow
{
    Q_OBJECT

public:
    explicit window(QWidget *parent = nullptr);

    bool silent;
    QLabel *statusLabel;
    QLabel *logoLabel;
    QNetworkAccessManager *manager;
    QNetworkReply *jsonReply;
    QNetworkReply *zipReply;
    QString expectedHash;
    QString packageUrl;
    // The package's length in bytes as the manifest gives it; -1 when it does not.
    qint64 expectedSize = -1;
    // The manifest's minisign signature of the package, base64 of the .minisig text; only
    // builds with the vendor's key look at it.
    QString signature;

    void ParseManifest(const QByteArray &body);
    void ShowUpdateError();
    int InstallAndLaunch(QByteArray package);
    // What became of one file; the installer logs it.
    enum WriteResult { Written, NotCreated, NotWritten };
    WriteResult WriteEntry(const QByteArray &data, const QString &path);

    // Where the manifest lives, how long a transfer may stall, the slowest average speed
    // (bytes a second over lowSpeedTime milliseconds) it may keep, the largest package
    // without a size in the manifest, and the folder that holds App (empty: the
    // updater's own). Constants of the program that only tests change.
    static QString manifestLocation;
    static int transferTimeout;
    static qint64 lowSpeedLimit;
    static int lowSpeedTime;
    static qint64 maxPackageSize;
    static QString installParent;

public slots:
    void DownloadLatest();
    void RequestJsonFinished();
    void RequestZipFinished();
};

// Ends the event loop once control is back in it; the program's only way out.
void quitLater();
