#include "mappingguard.h"

#ifdef Q_OS_UNIX

#    include <atomic>
#    include <csignal>
#    include <mutex>

#    include <sys/mman.h>
#    include <unistd.h>

namespace {

// What the handler can see. A signal handler reaches nothing but what is static, so the
// watched mappings are kept here, a few at a time, each slot taken and given back whole.
struct Watched
{
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> damaged{false};
};
constexpr int slots = 4;
Watched watched[slots];
std::mutex taking;

void onBusError(int, siginfo_t *info, void *)
{
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Watched &mapping : watched) {
        const std::uintptr_t start = mapping.start.load();
        const std::uintptr_t end = mapping.end.load();
        if (start == 0 || address < start || address >= end)
            continue;
        // The rest of the mapping, from the page that faulted, becomes zeros; the read
        // that faulted runs again and finds them.
        const auto page = std::uintptr_t(sysconf(_SC_PAGESIZE));
        const std::uintptr_t from = address & ~(page - 1);
        mmap(reinterpret_cast<void *>(from), end - from, PROT_READ,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        mapping.damaged = true;
        return;
    }
    // Not ours: what the system would have done.
    signal(SIGBUS, SIG_DFL);
}

} // namespace

MappingGuard::MappingGuard(const uchar *start, qint64 length)
{
    if (!start || length <= 0)
        return;
    static const bool installed = [] {
        struct sigaction action = {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGBUS, &action, nullptr) == 0;
    }();
    const std::lock_guard<std::mutex> lock(taking);
    for (int i = 0; installed && i < slots; ++i) {
        if (watched[i].start == 0) {
            watched[i].damaged = false;
            watched[i].end = reinterpret_cast<std::uintptr_t>(start) + std::uintptr_t(length);
            watched[i].start = reinterpret_cast<std::uintptr_t>(start);
            slot = i;
            return;
        }
    }
}

MappingGuard::~MappingGuard()
{
    if (slot < 0)
        return;
    const std::lock_guard<std::mutex> lock(taking);
    watched[slot].start = 0;
    watched[slot].end = 0;
}

bool MappingGuard::damaged() const
{
    return slot >= 0 && watched[slot].damaged;
}

#else

MappingGuard::MappingGuard(const uchar *, qint64) { }

MappingGuard::~MappingGuard() = default;

bool MappingGuard::damaged() const
{
    return false;
}

#endif
