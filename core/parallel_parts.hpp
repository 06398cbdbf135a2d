#pragma once
// Loops split over threads in fixed parts, so that any per-part result is
// the same whatever the number of threads that ran them.

#include <algorithm>
#include <array>
#include <cstdint>
#include <thread>

namespace qm5 {

// Threads at most for one loop.
inline constexpr unsigned kMaxLoopThreads = 64;

// Runs f(part, begin, end) for parts 0 .. parts - 1 over [0, n), part p
// taking [p * n / parts, (p + 1) * n / parts), on up to parts threads (the
// calling thread included). When a thread cannot be started its parts run
// on the calling thread, so the split, and any per-part result, stays the
// same.
template <class F>
void parallelParts(unsigned parts, std::uint64_t n, const F& f) {
    parts = std::clamp(parts, 1u, kMaxLoopThreads);
    auto range = [&](unsigned p) {
        const std::uint64_t begin = n / parts * p + std::min<std::uint64_t>(p, n % parts);
        const std::uint64_t end = begin + n / parts + (p < n % parts ? 1 : 0);
        f(p, begin, end);
    };
    if (parts == 1 || n == 0) {
        for (unsigned p = 0; p < parts; ++p) range(p);
        return;
    }
    std::array<std::thread, kMaxLoopThreads> pool;
    std::array<bool, kMaxLoopThreads> started{};
    for (unsigned p = 1; p < parts; ++p) {
        try {
            pool[p] = std::thread(range, p);
            started[p] = true;
        } catch (...) {
            started[p] = false;
        }
    }
    range(0);
    for (unsigned p = 1; p < parts; ++p) {
        if (started[p]) {
            pool[p].join();
        } else {
            range(p);
        }
    }
}

}  // namespace qm5
