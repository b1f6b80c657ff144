// The starter: the one program of a self-updating installation that never changes, so
// that no update can leave the installation without a way to start. It runs the updater
// version that updater/current names, with the same arguments and working folder, and
// falls back once to updater/previous when that version is missing, incomplete, cannot
// be started, or fails before it has proved itself (.healthy, written by the version once
// it started the application): it crashes, ends with any status but 0, or shows no sign
// of life (.alive) within lifeTime. A version that failed so, while the previous one then
// ran, is marked .failed and never chosen again; when the previous one fails too, the
// fault is the machine's. It reads nothing else, uses no network and no Qt, and on
// Windows only the system's libraries.
#include "names.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#    include <windows.h>
#else
#    include <cerrno>
#    include <csignal>
#    include <spawn.h>
#    include <sys/wait.h>
#    include <unistd.h>
extern char **environ;
#endif

namespace fs = std::filesystem;

namespace {

enum class Outcome { Ended, NotStarted, Crashed };

// How long a version that has not proved itself may take to show a sign of life. Its
// stamp is written once Qt is up and its event loop turns, which takes seconds on a slow
// machine or under a loaded Wine; a version that hangs before then is stopped. For the
// tests, PELLARIN_UPDATER_LIFE_SECONDS shortens it.
std::chrono::milliseconds lifeTime()
{
    const char *seconds = std::getenv("PELLARIN_UPDATER_LIFE_SECONDS");
    const long given = seconds ? std::strtol(seconds, nullptr, 10) : 0;
    return std::chrono::seconds(given > 0 ? given : 120);
}

constexpr std::chrono::milliseconds lifeCheck(100);

// What a run of a version that is watched shows of it; none for a proved one.
struct Watch
{
    bool watched = false;
    fs::path alive;
};

bool showsLife(const Watch &watch)
{
    std::error_code error;
    return !watch.watched || fs::exists(watch.alive, error);
}

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
    if (!plain || !fs::is_regular_file(updater / name / completeStamp, error)
        || fs::exists(updater / name / failedStamp, error)) {
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

// This process's command line as Windows received it, past the program's own name.
const wchar_t *ownArguments()
{
    const wchar_t *rest = GetCommandLineW();
    if (*rest == L'"') {
        for (++rest; *rest && *rest != L'"'; ++rest) { }
        if (*rest)
            ++rest;
    } else {
        while (*rest && *rest != L' ' && *rest != L'\t')
            ++rest;
    }
    return rest;
}

// Waits for `process` to end, or while it is watched, for a sign of life in time; stops
// it when none comes. Its exit code, or STATUS_TIMEOUT when it was stopped.
DWORD waitFor(HANDLE process, const Watch &watch)
{
    const auto deadline = std::chrono::steady_clock::now() + lifeTime();
    while (!showsLife(watch)) {
        if (WaitForSingleObject(process, DWORD(lifeCheck.count())) == WAIT_OBJECT_0)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            TerminateProcess(process, STATUS_TIMEOUT);
            break;
        }
    }
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

// Runs `program` with this process's own arguments, as Windows received them, and waits.
Outcome run(const fs::path &program, Arguments, const Watch &watch)
{
    std::wstring command = L"\"" + program.wstring() + L"\"" + ownArguments();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return Outcome::NotStarted;
    }
    const DWORD code = waitFor(process.hProcess, watch);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // Ctrl+C's status is a person's doing. A version on trial that ends otherwise than
    // with 0 failed (Qt's fatal errors end with 0x40000015, a missing library with
    // 0xC0000135); a proved one fails only by an exception.
    if (code == 0 || code == 0xC000013Au)
        return Outcome::Ended;
    if (watch.watched)
        return Outcome::Crashed;
    return (code & 0xC0000000u) == 0xC0000000u ? Outcome::Crashed : Outcome::Ended;
}

void tell(const char *message)
{
    MessageBoxA(nullptr, message, "Pellarin", MB_OK | MB_ICONERROR);
}

void prepare() { }

#else

fs::path ownFolder()
{
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).parent_path();
}

// Waits for `child` to end, or while it is watched, for a sign of life in time; kills it
// when none comes (`stopped`). Its status.
int waitFor(pid_t child, const Watch &watch, bool *stopped)
{
    const auto deadline = std::chrono::steady_clock::now() + lifeTime();
    int status = 0;
    while (!showsLife(watch)) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child)
            return status;
        if (ended < 0 && errno != EINTR)
            return 0;
        if (std::chrono::steady_clock::now() > deadline) {
            *stopped = kill(child, SIGKILL) == 0;
            break;
        }
        usleep(useconds_t(lifeCheck.count() * 1000));
    }
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return 0;
    }
    return status;
}

Outcome run(const fs::path &program, Arguments arguments, const Watch &watch)
{
    std::string path = program.string();
    arguments[0] = path.data();
    pid_t child = 0;
    if (posix_spawn(&child, path.c_str(), nullptr, nullptr, arguments.data(), environ) != 0)
        return Outcome::NotStarted;
    bool stopped = false;
    const int status = waitFor(child, watch, &stopped);
    if (stopped)
        return Outcome::Crashed;
    // A version on trial that ends otherwise than with 0 failed (127: a library is
    // missing); a proved one fails only by a crash.
    if (WIFEXITED(status))
        return WEXITSTATUS(status) != 0 && watch.watched ? Outcome::Crashed : Outcome::Ended;
    // A signal that a person or the system sends to stop a program is no crash.
    const int stops[] = {SIGKILL, SIGTERM, SIGINT, SIGHUP};
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

// Whoever started the starter may have left SIGCHLD ignored, and then no child can be
// waited for.
void prepare()
{
    signal(SIGCHLD, SIG_DFL);
}

#endif

int start(const Arguments &arguments)
{
    prepare();
    const fs::path updater = ownFolder() / updaterFolder;
    const fs::path current = chosen(updater, currentChoice);
    if (!current.empty()) {
        std::error_code error;
        Watch watch{!fs::exists(current / healthyStamp, error), current / aliveStamp};
        if (watch.watched)
            fs::remove(watch.alive, error);
        const Outcome outcome = run(current / updaterProgram, arguments, watch);
        if (outcome == Outcome::Ended || (outcome == Outcome::Crashed && !watch.watched))
            return 0;
    }
    const fs::path previous = chosen(updater, previousChoice);
    const Outcome fallback = previous.empty()
            ? Outcome::NotStarted
            : run(previous / updaterProgram, arguments, Watch());
    // A version whose fault the previous one shares is not to blame.
    if (!current.empty() && fallback == Outcome::Ended)
        mark(current, failedStamp);
    if (fallback != Outcome::NotStarted)
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
