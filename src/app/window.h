#pragma once

#include "preflight.h"
#include "releasemanifest.h"
#include "settings.h"
#include "signedstate.h"

#include <QByteArray>
#include <QMainWindow>
#include <QString>

#include <memory>

class Download;
class PackageFile;
class PackageTransfer;
class QLabel;
enum WriteResult : int;
class QNetworkAccessManager;
class QNetworkReply;

// The splash window, which also carries the update: each stage is one slot or member
// function, and the state passes from one stage to the next through the data members.
class window : public QMainWindow
{
    Q_OBJECT

public:
    explicit window(QWidget *parent = nullptr);
    // With settings other than the build's.
    explicit window(const Settings &settings, QWidget *parent = nullptr);
    ~window() override;

    bool silent;
    QLabel *statusLabel;
    QLabel *logoLabel;
    QNetworkAccessManager *manager;
    QNetworkReply *jsonReply;
    QNetworkReply *zipReply;
    QString expectedHash;
    QString packageUrl;
    // The manifest's version, which a signed release must name as its own.
    QString version;
    // The package's length in bytes as the manifest gives it; -1 when it does not.
    qint64 expectedSize = -1;
    // The manifest's minisign signature of the package, base64 of the .minisig text; only
    // builds with the vendor's key look at it.
    QString signature;
    // Where it looks, whom it trusts, its limits, where it installs.
    const Settings settings;
    // The transfers behind jsonReply and zipReply.
    Download *manifestDownload = nullptr;
    PackageTransfer *packageTransfer = nullptr;
    // Where the package goes as it arrives, beside App.
    std::unique_ptr<PackageFile> packageFile;
    // What the verified package's directory says about the installation; without one,
    // InstallAndLaunch() reads it from the package itself.
    InstallPlan plan;
    // Why the update failed, for the line that says the installed release starts instead.
    QString failure;
    // The manifest's releases of the updater itself.
    QMap<QString, UpdaterRelease> updaters;
    // Patch files from earlier packages to this one.
    QList<PatchFile> patches;
    // Whether the application was started, after which a self-updating updater may
    // update itself.
    bool launched = false;

    // The folder that holds App.
    QString InstallParent() const;
    // Starts App's program, with "--silent" when the updater got it; 0 when it started.
    int LaunchInstalled();
    // With UPDATER_SKIP_UNCHANGED: starts the installed release instead of downloading it
    // again when it is the manifest's and complete. True when it took over the run.
    bool StartUnchanged();
    // With UPDATER_OFFLINE_START: after a failure that left App as it was, starts the
    // installed release when it is complete, saying why. True when it took over the run.
    bool StartInstalledRelease();
    // With UPDATER_DELTA_UPDATES and UPDATER_SKIP_UNCHANGED: reinstalls the release from
    // App.package when the manifest still names it, without a download. True when it
    // took over the run.
    bool RepairInstalled();
    // Checks a package as a downloaded one is checked, installs and starts it, or shows
    // why not; true when it was installed. With `newPackage` the installed release's
    // App.package goes before App is touched: it is kept for the release that is
    // installed, or for none.
    bool InstallChecked(QByteArray package, const QString &sha256, const QByteArray &blake2b,
                        bool newPackage);

    // What the manifest said.
    ReleaseManifest Manifest() const;
    // In signed builds: the keys, what is kept beside App of the releases verified so far
    // (see signedstate.h), and the time.
    SigningPolicy Signing() const;
    // Keeps what an installed release says: the keys it revokes, its time and key, and the
    // digest of its package. A refused one changes nothing.
    void KeepSigned(const SignedRelease &release, const QByteArray &installedBlake2b);
    // Before App is touched: a kill then leaves no digest that could be taken for the
    // release that will be installed, and the next start takes the whole way.
    void ForgetInstalledDigest();
    // With UPDATER_SKIP_UNCHANGED in signed builds: checks what the unchanged release's
    // signature, verified against its kept digest, says against what is kept; a refused one
    // ends as a refused download does. True when it took over the run.
    bool RefuseUnchanged(const SigningPolicy &signing, const SignedRelease &release);

    // With UPDATER_SHOW_PROGRESS: the status text follows the download, then says that the
    // installation starts.
    void followProgress(PackageTransfer *transfer);
    void showInstalling();

    void ParseManifest(const QByteArray &body);
    void ShowUpdateError();
    int InstallAndLaunch(QByteArray package);
    // What became of one file; the installer logs it.
    WriteResult WriteEntry(const QByteArray &data, const QString &path);

public slots:
    void DownloadLatest();
    void RequestJsonFinished();
    void RequestZipFinished();
};

// Ends the event loop once control is back in it; the program's only way out.
void quitLater();

// The box that tells the user that nothing will start; returns once it is dismissed.
void showErrorBox();
