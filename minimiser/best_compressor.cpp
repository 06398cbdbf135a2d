// BestCompressor: the colours of a picture with the covers of CoverSolver.
#include <algorithm>
#include <memory>
#include <new>

#include "minimiser/best_cover.hpp"
#include "minimiser/prime_cover.hpp"
#include "minimiser/prime_engine.hpp"
#include "minimiser/scheduler.hpp"

namespace qm5 {

namespace {

// Storage of one thread, kept from colour to colour.
struct BestWorker {
    fast::PrimeWorker prime;
    CoverSolver solver;
    HeapArray<CubeMasks> primes;
    std::uint64_t count = 0;
    HeapArray<std::uint8_t> record;
};

// The maker's greedy walk over the primes found, in the worker's cover; false
// when it cannot be had (b past the keys, too long a record, no memory).
bool makerWalk(BestWorker& worker, int b) {
    if (b > fast::kMaxBits) return false;
    HeapArray<std::uint64_t>& keys = worker.prime.keys;
    if (keys.size() < worker.count && !keys.allocate(worker.count)) return false;
    for (std::uint64_t i = 0; i < worker.count; ++i) {
        const CubeMasks cube = worker.primes[static_cast<std::size_t>(i)];
        keys[static_cast<std::size_t>(i)] = fast::cubeKey(cube.zero | cube.one, cube.one, b);
    }
    std::sort(keys.data(), keys.data() + worker.count);
    return worker.prime.cover.visit({keys.data(), static_cast<std::size_t>(worker.count)});
}

// The record of general colour c: its cover from all its primes, or the
// maker's walk over them where that has fewer cubes, so that a record is
// never longer than the maker's.
MinimiseStatus bestRecord(fast::PictureJob& job, const CoverLimits& limits, BestWorker& worker, std::uint32_t c,
                          HeapArray<std::uint8_t>& record) {
    if (!worker.prime.start(job, c)) return MinimiseStatus::outOfMemory;
    worker.count = 0;
    bool grown = true;
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
        &job.done);
    if (!grown) return MinimiseStatus::outOfMemory;
    const std::span<const std::uint32_t> on(job.byColour.data() + job.firstOf[c],
                                            static_cast<std::size_t>(job.firstOf[c + 1] - job.firstOf[c]));
    worker.solver.setLimits(limits);
    const MinimiseStatus solved = worker.solver.solve(job.b, on, {worker.primes.data(), static_cast<std::size_t>(worker.count)});
    if (solved != MinimiseStatus::ok) return solved;
    std::span<const CubeMasks> chosen = worker.solver.cubes();
    if (makerWalk(worker, job.b) && worker.prime.cover.cubeCount() < chosen.size()) chosen = worker.prime.cover.cubes();
    if (cubeDataLength(chosen.size(), job.b) > limits.maxDataLength) return MinimiseStatus::recordTooLong;
    return fast::encodeRecord(chosen, job.b, record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
}

}  // namespace

MinimiseStatus BestCompressor::compress(const std::uint32_t* indices, std::uint64_t pixelCount,
                                        std::uint32_t colourCount, const CompressOptions& options, const Sink& sink) {
    failedColour_ = 0;
    if (indices == nullptr && pixelCount > 0) return MinimiseStatus::invalidTable;
    fast::PictureJob job(indices, pixelCount, colourCount, options, sink);
    const MinimiseStatus status = [&] {
        if (colourCount == 0) return MinimiseStatus::ok;
        if (positionBitCount(pixelCount) > kMaxPositionBits) return MinimiseStatus::outOfMemory;
        const MinimiseStatus classified = job.classify();
        if (classified != MinimiseStatus::ok) return classified;
        if (!job.listPositions()) return MinimiseStatus::outOfMemory;
        std::unique_ptr<BestWorker[]> workers(new (std::nothrow) BestWorker[job.threads]);
        if (!workers) return MinimiseStatus::outOfMemory;
        job.total.store(std::uint64_t{job.generalCount} * fast::kSearchShare);
        const fast::RecordJob colourJob = [&](unsigned w, std::uint32_t c, HeapArray<std::uint8_t>& record) {
            if (!job.isGeneral(c)) return job.special(c, record);
            return bestRecord(job, limits_, workers[w], c, record);
        };
        return job.deliver(job.threads, 0, colourCount, colourJob);
    }();
    failedColour_ = job.failed;
    job.report(true);
    return status;
}

}  // namespace qm5
