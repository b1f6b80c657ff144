// Preloaded into the updater under test: once the Nth rename or link into one folder has
// been made (KILL_AFTER_RENAME=N, KILL_RENAME_IN=folder), the process is killed, as a power
// cut or a person would stop it between two steps of an update. A file written anew is
// linked into place from an unnamed one where the system can.
#include <dlfcn.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

int renamed = 0;

template<typename Function>
Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void after(int result, const char *to)
{
    const char *folder = std::getenv("KILL_RENAME_IN");
    const char *count = std::getenv("KILL_AFTER_RENAME");
    const char *slash = std::strrchr(to, '/');
    if (result != 0 || !folder || !count || !slash)
        return;
    const std::size_t length = std::strlen(folder);
    if (std::size_t(slash - to) == length && std::strncmp(to, folder, length) == 0
        && ++renamed == std::atoi(count)) {
        std::raise(SIGKILL);
    }
}

} // namespace

extern "C" int rename(const char *from, const char *to)
{
    const int result = real<int (*)(const char *, const char *)>("rename")(from, to);
    after(result, to);
    return result;
}

extern "C" int renameat2(int fromFolder, const char *from, int toFolder, const char *to,
                         unsigned flags)
{
    const int result = real<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(
            fromFolder, from, toFolder, to, flags);
    after(result, to);
    return result;
}

extern "C" int linkat(int fromFolder, const char *from, int toFolder, const char *to, int flags)
{
    const int result = real<int (*)(int, const char *, int, const char *, int)>("linkat")(
            fromFolder, from, toFolder, to, flags);
    after(result, to);
    return result;
}
