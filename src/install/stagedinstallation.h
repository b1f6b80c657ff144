#pragma once

#include "preflight.h"

#include <QByteArray>
#include <QString>

// Installs a verified package beside the old release, in App.new on the same volume, and
// then swaps the two by renames: a failure before the swap leaves App (and its record)
// as they were, and a process killed at any moment leaves either release complete, as
// App or, between the two renames, as App.old. Needs room for both releases at once.
// Logs as installPackage() does; true when App holds the new release, complete.
bool installStaged(QByteArray &package, const InstallPlan &plan, const QString &parent);

// Puts back the App that a swap killed halfway left as App.old, and removes what a killed
// installation left over.
void recoverStaging(const QString &parent);
