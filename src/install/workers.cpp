#include "workers.h"

#include <system_error>
#include <thread>
#include <vector>

void runShares(int shares, const std::function<void(int share)> &work)
{
    std::vector<std::thread> helpers;
    int next = 1;
    try {
        for (; next < shares; ++next)
            helpers.emplace_back(work, next);
    } catch (const std::system_error &) {
        // No more threads to be had: the rest is done here.
    }
    for (int share = next; share < shares; ++share)
        work(share);
    work(0);
    for (std::thread &helper : helpers)
        helper.join();
}
