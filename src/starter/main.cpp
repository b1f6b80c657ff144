// The starter: the one program of a self-updating installation that never changes, so
// that no update can leave the installation without a way to start. It runs the updater
// version that updater/current names, with the same arguments and working folder, and
// falls back once to updater/previous when that version is missing, incomplete, cannot
// be started, or crashes before it has proved itself (.healthy, written by the version at
// the end of its first run). A version that failed so is marked .failed and never chosen
// again. It reads nothing else, uses no network and no Qt, and on Windows only the
// system's libraries.
#include "names.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#    include <windows.h>
#else
#    include <csignal>
#    include <spawn.h>
#    include <sys/wait.h>
#    include <unistd.h>
extern char **environ;
#endif

namespace fs = std::filesystem;

namespace {

enum class Outcome { Ended, NotStarted, Crashed };

// The starter's own arguments, for the version it runs: argv on Unix; on Windows the
// command line as the system gave it, so this stays empty.
using Arguments = std::vector<char *>;

// The version folder that `choice` (updater/current or updater/previous) names, when it
// lies inside updater/ and is complete; otherwise an empty path.
fs::path chosen(const fs::path &updater, const char *choice)
{
    std::ifstream file(updater / choice);
    std::string name;
    std::getline(file, name);
    while (!name.empty() && (name.back() == '\r' || name.back() == ' '))
        name.pop_back();
    // One plain folder name: nothing that climbs out or names another drive.
    const bool plain = !name.empty() && name != "." && name != ".."
            && name.find_first_of("/\\:") == std::string::npos;
    std::error_code error;
    if (!plain || !fs::is_regular_file(updater / name / ".complete", error)
        || fs::exists(updater / name / ".failed", error)) {
        return fs::path();
    }
    return updater / name;
}

void mark(const fs::path &version, const char *stamp)
{
    std::ofstream(version / stamp).put('\n');
}

#ifdef _WIN32

fs::path ownFolder()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
    return fs::path(path).parent_path();
}

// Runs `program` with this process's own arguments, as Windows received them, and waits.
Outcome run(const fs::path &program, Arguments)
{
    const wchar_t *line = GetCommandLineW();
    // Past the program's own name, quoted or not.
    const wchar_t *rest = line;
    if (*rest == L'"') {
        for (++rest; *rest && *rest != L'"'; ++rest) { }
        if (*rest)
            ++rest;
    } else {
        while (*rest && *rest != L' ' && *rest != L'\t')
            ++rest;
    }
    std::wstring command = L"\"" + program.wstring() + L"\"" + rest;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return Outcome::NotStarted;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // An exception status (0xC0000005, or 0xC0000135 for a library that is missing); a
    // program that a person stops ends with the code it is given, or with Ctrl+C's.
    return (code & 0xC0000000u) == 0xC0000000u && code != 0xC000013Au ? Outcome::Crashed
                                                                      : Outcome::Ended;
}

void tell(const char *message)
{
    MessageBoxA(nullptr, message, "Pellarin", MB_OK | MB_ICONERROR);
}

#else

fs::path ownFolder()
{
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).parent_path();
}

Outcome run(const fs::path &program, Arguments arguments)
{
    std::string path = program.string();
    arguments[0] = path.data();
    pid_t child = 0;
    if (posix_spawn(&child, path.c_str(), nullptr, nullptr, arguments.data(), environ) != 0)
        return Outcome::NotStarted;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) { }
    // A signal that a person or the system sends to stop a program is no crash.
    const int stops[] = {SIGKILL, SIGTERM, SIGINT, SIGHUP};
    if (!WIFSIGNALED(status))
        return Outcome::Ended;
    for (const int stop : stops) {
        if (WTERMSIG(status) == stop)
            return Outcome::Ended;
    }
    return Outcome::Crashed;
}

void tell(const char *message)
{
    std::fprintf(stderr, "%s\n", message);
}

#endif

int start(const Arguments &arguments)
{
    const fs::path updater = ownFolder() / "updater";
    const fs::path current = chosen(updater, "current");
    if (!current.empty()) {
        const Outcome outcome = run(current / updaterProgram, arguments);
        std::error_code error;
        const bool proved = fs::exists(current / ".healthy", error);
        if (outcome == Outcome::Ended || (outcome == Outcome::Crashed && proved))
            return 0;
        mark(current, ".failed");
    }
    const fs::path previous = chosen(updater, "previous");
    if (!previous.empty() && run(previous / updaterProgram, arguments) != Outcome::NotStarted)
        return 0;
    tell("Pellarin cannot start; please install it again.");
    return 1;
}

} // namespace

#ifdef _WIN32
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return start({});
}
#else
int main(int argc, char **argv)
{
    Arguments arguments(argv, argv + argc);
    arguments.push_back(nullptr);
    return start(arguments);
}
#endif
