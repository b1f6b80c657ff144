// Stands in for an updater version under the starter: notes in ran.txt, two folders up,
// its version folder's name, its arguments and its working folder, then does what the
// file "behaviour" beside it says: "crash" writes through a null pointer (SIGSEGV; on
// Windows it ends with the status of an access violation, 0xC0000005), "stop" is stopped
// as a person stops a program (SIGTERM; on Windows Ctrl+C's status), "missing" ends with 127 as when a library is
// missing, "hang" waits for ever without a sign of life, and anything else writes
// .healthy and ends. Asked
// to qualify, it passes unless the file says "unqualified": a version that crashes at
// start may well have qualified.
// Built without the sanitizers, whose reports would end it with an exit code instead.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#    include <windows.h>
#endif

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    const fs::path folder = fs::absolute(argv[0]).parent_path();
    std::ofstream ran(folder.parent_path().parent_path() / "ran.txt",
                      std::ios::app | std::ios::binary);
    ran << folder.filename().string();
    for (int i = 1; i < argc; ++i)
        ran << ' ' << argv[i];
    ran << " in " << fs::current_path().filename().string() << '\n';
    ran.close();
    std::string behaviour;
    std::ifstream(folder / "behaviour") >> behaviour;
    if (argc > 1 && std::string(argv[1]) == "--qualify")
        return behaviour == "unqualified" ? 1 : 0;
#ifdef _WIN32
    // As an access violation ends a program, without the debugger that Wine would start,
    // and as Ctrl+C does.
    if (behaviour == "crash")
        ExitProcess(0xC0000005);
    if (behaviour == "stop")
        ExitProcess(0xC000013A);
#else
    if (behaviour == "crash")
        *static_cast<volatile int *>(nullptr) = 0;
#endif
    if (behaviour == "stop")
        std::raise(SIGTERM);
    if (behaviour == "missing")
        return 127;
    while (behaviour == "hang")
        std::this_thread::sleep_for(std::chrono::seconds(1));
    std::ofstream(folder / ".healthy").put('\n');
    return 0;
}
