#pragma once

#include <QFile>

// Opens `file` (ReadOnly, WriteOnly made or emptied, or ReadWrite made or kept as it is)
// only when it is a regular file:
// never through a link, whose target could be anyone's file, nor a pipe or a device that
// would block the run or never end.
bool openRegular(QFile &file, QIODevice::OpenMode mode);
