#pragma once

#include <QFile>

// Opens `file` (ReadOnly, WriteOnly made or emptied, or ReadWrite made or kept as it is)
// only when it is a regular file:
// never through a link, whose target could be anyone's file, nor a pipe or a device that
// would block the run or never end.
bool openRegular(QFile &file, QIODevice::OpenMode mode);

// Clears the name `path` of a file the updater keeps for what it is about to write there:
// a regular file is removed; anything else there (a folder, a link, a pipe) is removed
// too, the link itself rather than what it points to, and the log says so. False when
// the name is still taken.
bool clearOwnedName(const QString &path);
