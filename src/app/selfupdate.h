#pragma once

#include "releasemanifest.h"
#include "settings.h"

// In a self-updating build, once the application has been launched: when the manifest
// names an updater for this platform newer than this one (by its dotted version, and in
// signed builds by its signed time too), downloads it within the release's limits,
// verifies it with this version's own trust, unpacks it beside this one, lets it qualify
// itself (--qualify) and only then makes it current, this one previous. Any failure logs
// one line and leaves the installation as it was; the next start runs the same updater.
// It holds the lock of updater/, not the instance guard: a start meanwhile still starts
// the application.
void updateUpdater(const Settings &settings, const ReleaseManifest &manifest);

// This platform's name in the manifest's "updater" object.
QString updaterPlatform();

// In a self-updating build, before the application's installation: removes what stopped
// updates of the updater left (partial downloads and folders, versions that are neither
// current nor previous), unless another updater is installing a version now.
void tidyUpdaterVersions(const Settings &settings);
