#include "minimiser/best_record.hpp"

#include <algorithm>

#include "minimiser/prime_cover.hpp"

namespace qm5::fast {

namespace {

// The maker's greedy walk over the primes found, in the worker's cover; false
// when it cannot be had (b past the keys, too long a record, no memory).
bool makerWalk(BestWorker& worker, int b) {
    if (b > kMaxBits) return false;
    HeapArray<std::uint64_t>& keys = worker.prime.keys;
    if (keys.size() < worker.count && !keys.allocate(worker.count)) return false;
    for (std::uint64_t i = 0; i < worker.count; ++i) {
        const CubeMasks cube = worker.primes[static_cast<std::size_t>(i)];
        keys[static_cast<std::size_t>(i)] = cubeKey(cube.zero | cube.one, cube.one, b);
    }
    std::sort(keys.data(), keys.data() + worker.count);
    return worker.prime.cover.visit({keys.data(), static_cast<std::size_t>(worker.count)});
}

}  // namespace

MinimiseStatus bestRecord(BestWorker& worker, int b, std::span<const std::uint32_t> on, const CoverLimits& limits,
                          HeapArray<std::uint8_t>& record, std::atomic<std::uint64_t>* done, bool lean) {
    worker.count = 0;
    bool grown = true;
    worker.prime.search.setSpans(lean);
    worker.prime.search.run(
        worker.prime.nonOff.data(), worker.prime.cover.onWords(),
        [&](std::uint32_t care, std::uint32_t one) {
            if (worker.count == worker.primes.size()) {
                HeapArray<CubeMasks> more;
                grown = grown && more.allocate(std::max<std::uint64_t>(1024, 2 * worker.primes.size()));
                if (!grown) return;
                std::copy(worker.primes.begin(), worker.primes.end(), more.data());
                worker.primes = std::move(more);
            }
            worker.primes[static_cast<std::size_t>(worker.count++)] = CubeMasks{care & ~one, one};
        },
        done);
    worker.prime.search.setSpans(false);
    if (!grown) return MinimiseStatus::outOfMemory;
    // Past the work limit there is no record to make; the caller sees the
    // search or the solver stopped and drops it.
    if (worker.prime.search.stopped()) return MinimiseStatus::ok;
    worker.solver.setLimits(limits);
    const std::uint64_t left = worker.workLimit - std::min(worker.workLimit, worker.work());
    worker.solver.limitWork(worker.solver.work() + std::min(left, ~std::uint64_t{0} - worker.solver.work()));
    const MinimiseStatus solved =
        worker.solver.solve(b, on, {worker.primes.data(), static_cast<std::size_t>(worker.count)});
    worker.solver.limitWork(~std::uint64_t{0});
    if (solved != MinimiseStatus::ok || worker.solver.stopped()) return solved;
    std::span<const CubeMasks> chosen = worker.solver.cubes();
    if (!lean && makerWalk(worker, b) && worker.prime.cover.cubeCount() < chosen.size()) {
        chosen = worker.prime.cover.cubes();
    }
    if (cubeDataLength(chosen.size(), b) > limits.maxDataLength) return MinimiseStatus::recordTooLong;
    return encodeRecord(chosen, b, record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
}

}  // namespace qm5::fast
