#pragma once

#include "preflight.h"

#include <QByteArray>
#include <QString>

// <parent>/App, the installation folder beside the updater.
QString installPath(const QString &parent);
// The program that an installation in `appPath` starts.
QString programIn(const QString &appPath);
// Packages made on Windows record no execute bit, yet their program must start here too.
void makeExecutable(const QString &program);

// Rebuilds <parent>/App from a verified package held in memory, logging as it goes.
// Whatever the archive's directory can tell is checked first, and a package that fails
// leaves App as it was. Lets go of the package at the end. True when the installation
// is complete, so that its program may start.
bool installPackage(QByteArray &package, const QString &parent);
// Reads the plan of a package whose verification made none, logging why it is refused.
bool planPackage(const QByteArray &package, const QString &parent, InstallPlan *plan);
// The same as installPackage() above, with the plan that the package's verification made.
bool installPackage(QByteArray &package, const InstallPlan &plan, const QString &parent);

// Whether the volume that holds `parent` has room for the installation, counting what the
// old App frees unless it stays beside the new one until the end: why not, or nothing.
QString roomProblem(const InstallPlan &plan, const QString &parent, bool oldStays);

// Makes `folder` and unpacks the whole release into it, logging what went wrong with
// single entries and the total size; lets go of the package. True when it is complete.
bool unpackRelease(QByteArray &package, const InstallPlan &plan, const QString &folder);
