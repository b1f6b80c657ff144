#pragma once

class QSharedMemory;

inline constexpr char instanceKey[] = "7c3e9a51-0b84-4d2f-a6e1-95f0c2d8b473";

// True when any argument after the program name is exactly "--silent".
bool silentRequested(int argc, char **argv);

// Takes the single-instance segment; false while another updater holds it.
bool takeInstanceGuard(QSharedMemory &guard);
