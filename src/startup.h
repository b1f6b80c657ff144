#pragma once

class QSharedMemory;

inline constexpr char instanceKey[] = "7c3e9a51-0b84-4d2f-a6e1-95f0c2d8b473";

// True when any argument after the program name is exactly "--silent".
bool silentRequested(int argc, char **argv);

// Gives `memory` the single-instance key, on Unix the user's own. There the segment is
// System V shared memory whatever Qt was built with: a POSIX segment outlives a killed
// updater for good and would refuse every later one.
// `user`: another user's key, on Unix, instead of this process's.
void setInstanceKey(QSharedMemory &memory, int user = -1);

// On Unix a killed updater leaves its segment behind. Attaching and detaching removes
// it when nobody else is attached, and leaves a live updater's alone.
void releaseOrphanedSegment(int user = -1);

// Takes the single-instance segment. False while another updater holds it, or when it
// cannot be made at all (`guard.error()` tells which).
bool takeInstanceGuard(QSharedMemory &guard);
