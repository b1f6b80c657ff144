#pragma once

class QSharedMemory;

inline constexpr char instanceKey[] = "7c3e9a51-0b84-4d2f-a6e1-95f0c2d8b473";

// True when any argument after the program name is exactly "--silent".
bool silentRequested(int argc, char **argv);

#include <QString>

// Gives `memory` the single-instance key of `user` (-1: this process's). On Unix its key
// file lives in `folder`, the updater's own: the same however the updater was started
// (a desktop session, su, cron), and only those who may install there can write in it.
// The segment is System V shared memory whatever Qt was built with: a POSIX segment
// outlives a killed updater for good and would refuse every later one. Windows names it
// per session, and `folder` is not used.
void setInstanceKey(QSharedMemory &memory, const QString &folder, int user = -1);

// On Unix a killed updater leaves its segment behind. Attaching and detaching removes
// it when nobody else is attached, and leaves a live updater's alone.
void releaseOrphanedSegment(const QString &folder, int user = -1);

enum class Guard { Taken, HeldByAnother, Unavailable };

// Takes the single-instance segment keyed in `folder`: HeldByAnother while another
// updater of this user holds it, Unavailable, with `why`, when it cannot be had at all
// (among others when another user holds the segment under this key).
Guard takeInstanceGuard(QSharedMemory &guard, const QString &folder, QString *why);
