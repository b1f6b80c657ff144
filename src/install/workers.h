#pragma once

#include <functional>

// Runs work(0) to work(shares - 1), each on a thread of its own, this one among them,
// and returns once every share is done. A share whose thread cannot be started is done
// on this one; no thread is ever left unjoined.
void runShares(int shares, const std::function<void(int share)> &work);
