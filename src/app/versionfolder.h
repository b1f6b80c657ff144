#pragma once

#include "settings.h"

#include <QString>

// Where a run keeps its files, App and what lies beside it, the log and the guard's key
// file: the program's own folder, or in a self-updating build, whose program runs from
// <folder>/updater/<version>/, the folder two levels up, beside the starter. Two versions
// of the updater are then never two instances.
QString installationFolder(const Settings &settings);

// In a self-updating build, tells the starter that this version has run to its end
// (.healthy in its version folder), whatever the run's outcome.
void markHealthy(const Settings &settings);
