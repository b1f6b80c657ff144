#pragma once

#include "settings.h"

// "--qualify": before a new version of a self-updating updater takes over, it proves that
// it can do its work on this machine. Without a window, a guard or a change to any file
// of the installation, it fetches the manifest through the same network path (trust,
// proxy) and verifies the release named there exactly as it would before installing it,
// with its own authorities and keys. Returns 0 when it would install that release; the
// log says why not otherwise.
bool qualifyRequested(int argc, char **argv);
int qualify(const Settings &settings);
