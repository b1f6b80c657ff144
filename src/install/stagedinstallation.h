#pragma once

#include "preflight.h"

#include <QByteArray>
#include <QString>

// Installs a verified package beside the old release, in App.new on the same volume,
// records it there for the package `sha256`, and then swaps the two by renames: a
// failure before the swap leaves App (and its record) as they were, and a process killed
// at any moment leaves either release complete and recorded, as App or, between the two
// renames, as App.old. Needs room for both releases at once. Logs as installPackage()
// does; true when App holds the new release, complete.
bool installStaged(QByteArray &package, const InstallPlan &plan, const QString &parent,
                   const QString &sha256);

// Puts back the App that a swap killed halfway left as App.old, or the record that it
// left behind, and removes what a killed installation left over. Links are removed,
// never followed.
void recoverStaging(const QString &parent);
