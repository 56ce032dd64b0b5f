#pragma once
// The best wall time of several runs of one piece of work, in milliseconds: the run least disturbed
// by the rest of the machine.

#include <algorithm>
#include <chrono>
#include <functional>

namespace tavi::bench {

inline double BestMilliseconds(int runs, const std::function<void()>& work) {
    double best = 1e300;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

}  // namespace tavi::bench
