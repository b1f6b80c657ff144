#pragma once

#include "settings.h"

#include <QString>

// Where a run keeps its files, App and what lies beside it, the log and the guard's key
// file: the program's own folder, or in a self-updating build, whose program runs from
// <folder>/updater/<version>/, the folder two levels up, beside the starter. Two versions
// of the updater are then never two instances.
QString installationFolder(const Settings &settings);

// In a self-updating build, leaves `stamp` (names.h) in this version's folder for the
// starter: .alive once the event loop turns, .healthy once the application started, which
// proves the version. A run that ended at once proves nothing.
void stampVersion(const Settings &settings, const char *stamp);
