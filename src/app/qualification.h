#pragma once

#include "settings.h"

// "--qualify": before a new version of a self-updating updater takes over, it proves that
// it can do its work on this machine. Without a window, a guard or a change to any file
// of the installation, it fetches the manifest through the same network path (trust,
// proxy) and checks the release named there with its own authorities, keys and rules:
// the installed release against what is kept of it, another one by its signature's
// trusted comment (signed builds) and its package's last bytes, whatever its size. Returns
// 0 when it would take that release; the log says why not otherwise.
bool qualifyRequested(int argc, char **argv);
int qualify(const Settings &settings);
