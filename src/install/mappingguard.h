#pragma once

#include <QtGlobal>

// While it lives, a read of a file mapped at `start` that another program has cut short
// since (on Unix the system would kill the process with SIGBUS) reads zeros instead: the
// package's checks then refuse it, and the run ends with the error box rather than a
// crash. Costs nothing until such a read. On Windows a mapped file cannot be cut short.
class MappingGuard
{
public:
    MappingGuard(const uchar *start, qint64 length);
    ~MappingGuard();
    MappingGuard(const MappingGuard &) = delete;
    MappingGuard &operator=(const MappingGuard &) = delete;

    // Whether a read went past the file's end.
    bool damaged() const;

private:
    int slot = -1;
};
