#pragma once

#include "preflight.h"

#include <QByteArray>
#include <QString>

// Rebuilds <parent>/App from a verified package held in memory, logging as it goes.
// Whatever the archive's directory can tell is checked first, and a package that fails
// leaves App as it was. Lets go of the package at the end. True when the installation
// is complete, so that its program may start.
bool installPackage(QByteArray &package, const QString &parent);
// The same, with the plan that the package's verification made of it.
bool installPackage(QByteArray &package, const InstallPlan &plan, const QString &parent);
