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
