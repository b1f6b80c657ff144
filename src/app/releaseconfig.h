#pragma once

#include "settings.h"

// The settings fixed when the program was built (UPDATER_RELEASE_SERVER,
// UPDATER_TRUSTED_CA, UPDATER_SIGNING_KEY, UPDATER_MAX_PACKAGE_MIB, UPDATER_LOG_FILE,
// UPDATER_SHOW_PROGRESS); each program links one definition.
Settings buildSettings();
