#include "minimiser/best_record.hpp"

#include <algorithm>

#include "minimiser/bitmap.hpp"
#include "minimiser/prime_cover.hpp"

namespace qm5::fast {

namespace {

// On positions whose neighbours (one position bit flipped) are all off: no
// cube of two or more positions holds one, so each takes a cube of its own
// in every cover. True as soon as those cubes alone pass maxDataLength, a
// pass over the on positions that spares the search a record it could not
// write.
// work receives the neighbours looked at.
bool surelyTooLong(const std::uint64_t* nonOff, int b, std::span<const std::uint32_t> on,
                   std::uint64_t maxDataLength, std::uint64_t& work) {
    std::uint64_t alone = 0;
    for (const std::uint32_t p : on) {
        bool isolated = true;
        int i = 0;
        for (; i < b && isolated; ++i) isolated = !bitmap::test(nonOff, p ^ (std::uint32_t{1} << i));
        work += static_cast<std::uint64_t>(i);
        if (isolated && cubeDataLength(++alone, b) > maxDataLength) return true;
    }
    return false;
}

}  // namespace

void BestWorker::setAccount(MemoryAccount* account) {
    search.setAccount(account);
    nonOff.setAccount(account);
    on.setAccount(account);
    solver.setAccount(account);
    candidates.setAccount(account);
    b_ = -1;
}

std::uint64_t BestWorker::bytesFor(int b) {
    return PrimeSearch::bytesFor(b, true) + 2 * bitmap::wordsFor(b) * sizeof(std::uint64_t);
}

bool BestWorker::prepare(int b) {
    if (b == b_ && !nonOff.empty()) return search.prepare(b, true);
    b_ = -1;
    const std::size_t words = bitmap::wordsFor(b);
    if (!search.prepare(b, true) || !nonOff.allocate(words) || !on.allocate(words)) return false;
    b_ = b;
    return true;
}

void BestWorker::release() {
    search.release();
    solver.releaseCover();
    nonOff.reset();
    on.reset();
    candidates.reset();
    b_ = -1;
}

MinimiseStatus bestRecord(BestWorker& worker, int b, std::span<const std::uint32_t> on, const CoverLimits& limits,
                          HeapArray<std::uint8_t>& record, std::atomic<std::uint64_t>* done) {
    worker.count = 0;
    if (surelyTooLong(worker.nonOff.data(), b, on, limits.maxDataLength, worker.screened)) {
        return MinimiseStatus::recordTooLong;
    }
    bool grown = true;
    worker.search.setSpans(true);
    worker.search.run(
        worker.nonOff.data(), worker.on.data(),
        [&](std::uint32_t care, std::uint32_t one) {
            if (worker.count == worker.candidates.size()) {
                grown = grown && worker.candidates.grow(std::max<std::uint64_t>(1024, worker.count + 1));
                if (!grown) return;
            }
            worker.candidates[static_cast<std::size_t>(worker.count++)] = CubeMasks{care & ~one, one};
        },
        done);
    worker.search.setSpans(false);
    MinimiseStatus status = MinimiseStatus::outOfMemory;
    // Past the work limit there is no record to make; the caller sees the
    // search or the solver stopped and drops it.
    if (grown && worker.search.stopped()) status = MinimiseStatus::ok;
    if (grown && !worker.search.stopped()) {
        worker.solver.setLimits(limits);
        const std::uint64_t left = worker.workLimit - std::min(worker.workLimit, worker.work());
        const std::uint64_t steps = left > (~std::uint64_t{0} - worker.solver.work()) / CoverWeights::kPerUnit
                                        ? ~std::uint64_t{0} - worker.solver.work()
                                        : left * CoverWeights::kPerUnit;
        worker.solver.limitWork(worker.solver.work() + steps);
        status = worker.solver.solve(b, on, {worker.candidates.data(), static_cast<std::size_t>(worker.count)});
        worker.solver.limitWork(~std::uint64_t{0});
    }
    worker.candidates.reset();
    if (status != MinimiseStatus::ok || worker.solver.stopped() || worker.search.stopped()) return status;
    const std::span<const CubeMasks> chosen = worker.solver.cubes();
    MinimiseStatus encoded = MinimiseStatus::recordTooLong;
    if (cubeDataLength(chosen.size(), b) <= limits.maxDataLength) {
        encoded = encodeRecord(chosen, b, record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
    }
    // What a worker holds between records depends on b alone.
    worker.solver.releaseCover();
    return encoded;
}

}  // namespace qm5::fast
