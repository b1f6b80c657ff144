#pragma once

#include <QString>

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
    void removeOthers(const QString &keep, const QString &keepToo) const;

private:
    QString root;
};

// A version as a folder name: dotted whole numbers ("1.10.2").
bool isDottedVersion(const QString &version);
// Orders two dotted versions number by number (1.10 after 1.9, 1.0 the same as 1): less
// than, equal to or greater than 0.
int compareVersions(const QString &a, const QString &b);
