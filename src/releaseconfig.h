#pragma once

#include <QByteArray>
#include <QString>

// Fixed at build time (UPDATER_RELEASE_SERVER, UPDATER_TRUSTED_CA); each program links one
// definition of these.
QString releaseServer();
QByteArray trustedCaPem();
