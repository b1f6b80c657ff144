#pragma once

// The names that the updater and the application agree on.

// The local socket that the application listens on while it runs.
inline constexpr char applicationSocket[] = "Travik-Software.Pellarin";
// The installation folder, beside the updater's executable.
inline constexpr char installFolder[] = "App";
// The program that an installation starts, relative to App.
inline constexpr char programPath[] = "bin/PellarinApp.exe";
// The updater's program, and in a self-updating installation the starter's too.
#ifdef _WIN32
inline constexpr char updaterProgram[] = "PellarinUpdater.exe";
#else
inline constexpr char updaterProgram[] = "PellarinUpdater";
#endif

// The version folders of a self-updating installation, in updater/ beside the starter:
// one folder a version, named by its dotted version. Two one-line files name the one to
// run and the one to fall back to; stamps in a version folder say what became of it.
inline constexpr char updaterFolder[] = "updater";
inline constexpr char currentChoice[] = "current";
inline constexpr char previousChoice[] = "previous";
// Unpacked whole; written last, by the updater that installed it.
inline constexpr char completeStamp[] = ".complete";
// Proved: a run of it started the application.
inline constexpr char healthyStamp[] = ".healthy";
// Failed before it proved itself, while the version before it then ran: never chosen again.
inline constexpr char failedStamp[] = ".failed";
// Its package's signed time, below which no later updater is taken.
inline constexpr char signedStamp[] = ".signed";
// Written by a run as soon as its event loop turns, so that the starter can tell a
// version that hangs from one that works.
inline constexpr char aliveStamp[] = ".alive";
// Made by the installation itself, so never taken from a package: the stamps, and what a
// stopped update leaves (<version>.partial, <version>.zip.partial).
inline constexpr const char *versionStamps[] = {completeStamp, healthyStamp, failedStamp,
                                                signedStamp, aliveStamp};
inline constexpr char partialSuffix[] = ".partial";
