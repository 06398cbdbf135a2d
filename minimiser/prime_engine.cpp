#include "minimiser/prime_engine.hpp"

#include <algorithm>
#include <memory>
#include <new>

#include "minimiser/ternary.hpp"

namespace qm5::fast {

namespace {

// One general colour in kSampleShare is searched, spread over the palette
// (later colours have more don't cares and often more primes).
constexpr std::uint32_t kSampleShare = 20;
// The table's time per cube, in the search's units: the lowest measured
// on the benchmark pictures (1.9 to 3.9 ns in one byte, 8.5 ns in two), so
// that the table stays unless top-down clearly wins.
constexpr std::uint64_t kTableCostNarrow = 2;
constexpr std::uint64_t kTableCostWide = 6;

}  // namespace

std::uint64_t PrimeWorker::bytesFor(int b, const FastTuning& tuning) {
    // The keys, and the histogram of a colour sorted range by range.
    return PrimeSearch::bytesFor(b) + bitmap::wordsFor(b) * 8 + CoverBuilder::bytesFor(b, tuning.maxDataLength) +
           keyChunkOf(tuning) * 8 + (std::uint64_t{8} << 16);
}

bool PrimeWorker::prepare(int b, const FastTuning& tuning) {
    const std::size_t words = bitmap::wordsFor(b);
    if (!cover.prepare(b, tuning.maxDataLength) || !search.prepare(b)) return false;
    if (nonOff.size() != words && !nonOff.allocate(words)) return false;
    cover.start();
    return true;
}

MinimiseStatus PrimeWorker::run(int b, const FastTuning& tuning, HeapArray<std::uint8_t>& record,
                                std::atomic<std::uint64_t>* done) {
    const std::uint64_t chunk = keyChunkOf(tuning);
    const std::uint64_t* on = cover.onWords();
    // One pass keeps the keys while they fit the chunk and counts them all.
    std::uint64_t count = 0;
    bool grown = true;
    search.run(
        nonOff.data(), on,
        [&](std::uint32_t care, std::uint32_t one) {
            if (count < chunk && count == keys.size()) {
                const std::uint64_t wanted = std::min(chunk, std::max<std::uint64_t>(1024, 2 * keys.size()));
                grown = grown && keys.resize(wanted);
            }
            if (count < keys.size()) keys[static_cast<std::size_t>(count)] = cubeKey(care, one, b);
            ++count;
        },
        done);
    if (!grown) return MinimiseStatus::outOfMemory;
    if (count <= chunk) {
        std::sort(keys.data(), keys.data() + count);
        if (!cover.visit({keys.data(), static_cast<std::size_t>(count)})) return MinimiseStatus::recordTooLong;
        return cover.writeRecord(record);
    }
    auto forEach = [&](const auto& sink) {
        search.run(nonOff.data(), on, [&](std::uint32_t care, std::uint32_t one) { sink(cubeKey(care, one, b)); });
    };
    const MinimiseStatus status = coverFromPrimes(forEach, count, chunk, keys, cover);
    if (status != MinimiseStatus::ok) return status;
    return cover.writeRecord(record);
}

std::uint64_t topDownBytes(int b, unsigned threads, const FastTuning& tuning) {
    return threads * PrimeWorker::bytesFor(b, tuning);
}

bool PrimeWorker::start(PictureJob& job, std::uint32_t c) {
    const bool fresh = nonOff.empty();
    if (!prepare(job.b, job.tuning)) return false;
    // Colours come in ascending order: the non-off set grows by the
    // positions of the colours since the last one.
    if (fresh) {
        const std::uint64_t domain = std::uint64_t{1} << job.b;
        for (std::uint64_t p = job.pixels; p < domain; ++p) bitmap::set(nonOff.data(), p);
        nonOffUpTo = 0;
    }
    for (; nonOffUpTo <= c; ++nonOffUpTo) job.fillOn(nonOffUpTo, nonOff.data());
    job.fillOn(c, cover.onWords());
    return true;
}

MinimiseStatus runTopDown(PictureJob& job, std::uint64_t budget) {
    std::unique_ptr<PrimeWorker[]> workers(new (std::nothrow) PrimeWorker[job.threads]);
    if (!workers) return MinimiseStatus::outOfMemory;
    job.restartProgress(std::uint64_t{job.generalFromFirst()} * kSearchShare);
    job.engineUsed = MinimiserEngine::topDown;
    std::atomic<std::uint64_t> spent{0};
    const RecordJob colourJob = [&](unsigned w, std::uint32_t c, HeapArray<std::uint8_t>& record) {
        if (!job.isGeneral(c)) return job.special(c, record);
        PrimeWorker& worker = workers[w];
        if (c > job.overBudgetAt || !worker.start(job, c)) return MinimiseStatus::outOfMemory;
        const std::uint64_t before = worker.search.cost();
        if (budget > 0) {
            const std::uint64_t used = spent.load();
            worker.search.limitCost(before + (used < budget ? budget - used : 0));
        }
        const MinimiseStatus status = worker.run(job.b, job.tuning, record, &job.done);
        spent += worker.search.cost() - before;
        if (worker.search.stopped()) {
            std::uint32_t at = job.overBudgetAt;
            while (c < at && !job.overBudgetAt.compare_exchange_weak(at, c)) {
            }
            return MinimiseStatus::outOfMemory;
        }
        return status;
    };
    return job.deliver(job.threads, job.first, job.colours, colourJob);
}

std::uint64_t tableCost(const PictureJob& job) {
    return (job.colours <= 256 ? kTableCostNarrow : kTableCostWide) * kPow3[static_cast<std::size_t>(job.b)];
}

bool topDownWins(PictureJob& job) {
    const std::uint32_t general = job.generalFromFirst();
    if (general == 0) return true;
    const std::uint32_t samples = std::max<std::uint32_t>(1, general / kSampleShare);
    // The sample wins when its cost, scaled to all colours, stays below the
    // table's; it stops as soon as it cannot.
    const std::uint64_t budget = tableCost(job) / general * samples;
    PrimeWorker worker;
    worker.search.limitCost(budget);
    std::uint32_t seen = 0;   // general colours passed
    std::uint32_t taken = 0;  // samples searched
    for (std::uint32_t c = job.first; c < job.colours && taken < samples; ++c) {
        if (!job.isGeneral(c)) continue;
        // Sample i is general colour (2i + 1) * general / (2 * samples).
        const std::uint64_t wanted = (2 * std::uint64_t{taken} + 1) * general / (2 * std::uint64_t{samples});
        if (seen++ != wanted) continue;
        ++taken;
        if (!worker.start(job, c)) return false;
        worker.search.run(worker.nonOff.data(), worker.cover.onWords(), [](std::uint32_t, std::uint32_t) {});
        if (worker.search.stopped()) return false;
    }
    return true;
}

}  // namespace qm5::fast
