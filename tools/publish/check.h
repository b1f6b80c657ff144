#pragma once

#include <QStringList>

struct Settings;

// Fetches the release that `settings` lead to exactly as an updater built with them
// fetches it (its manifest location, authorities, minisign key and limits), with the
// same code, and checks it as such an updater does before it touches App; the archive
// is also inflated whole, since the updater would skip a damaged entry. Prints one line
// per check and returns 0 only when such an updater would install the whole release. It
// lists the patch files, and rebuilds the package from each of `earlierPackages` (URLs)
// with its patch file as such an updater would.
int checkRelease(const Settings &settings, const QStringList &earlierPackages = {});
