#pragma once

#include <QString>
#include <QStringList>

struct InstallPlan;

// The updater versions of a self-updating installation, side by side in its updater/
// folder: one folder each, named by its dotted version, marked .complete once unpacked
// whole (and .healthy, .failed by the starter's rules); `current` and `previous` name the
// one to run and the one to fall back to. Each of those two one-line files is replaced
// only by writing a new file, flushing it and renaming it over the old one, so that a
// kill at any moment leaves one or the other whole.
class UpdaterVersions
{
public:
    explicit UpdaterVersions(const QString &folder) : root(folder) { }

    QString path(const QString &version) const { return root + QLatin1Char('/') + version; }
    // Where a version is unpacked before it is complete.
    QString partialPath(const QString &version) const { return path(version) + ".partial"; }

    bool isComplete(const QString &version) const;
    bool hasFailed(const QString &version) const;

    // Makes `version` current and `running` (the version of this process, which is the
    // current one unless the starter fell back) previous, then removes every other
    // version folder and whatever a killed update left. Why it could not, or nothing.
    QString makeCurrent(const QString &version, const QString &running) const;
    void removeOthers(const QStringList &keep, bool keepFailed = false) const;
    // Removes what stopped updates left: partial downloads and folders, and every version
    // folder that is neither current, previous nor `running`.
    void tidy(const QString &running) const;
    // The version that current or previous names; empty when the file cannot be read.
    QString choice(const char *name) const;
    // The lock of updater/, held while a version is installed or the folder is tidied,
    // so that two updaters never do either at once; apart from the instance guard, which
    // only App needs.
    QString lockPath() const { return root + QStringLiteral("/.lock"); }

private:
    QString root;
};

// A version as a folder name: dotted whole numbers ("1.10.2") of at most 9 digits each,
// so that any two compare.
bool isDottedVersion(const QString &version);

// Whether an entry of an updater package (a name relative to the version folder) is or
// lies in one of the installation's own stamps or leftovers, which only the installation
// makes: it takes none from a package.
bool isInstallationStamp(const QString &entry);
// `plan` without such entries.
void leaveOutStamps(InstallPlan *plan);
// Orders two dotted versions number by number (1.10 after 1.9, 1.0 the same as 1): less
// than, equal to or greater than 0.
int compareVersions(const QString &a, const QString &b);
