#pragma once
// One colour's record as --best writes it, from the sets a worker holds:
// every prime of the non-off set that holds an on position is a candidate,
// CoverSolver chooses among them, and where the maker's greedy walk over the
// same primes has fewer cubes, that walk is written, so that a record is
// never longer than the maker's for the same sets. BestCompressor and the
// palette order search both make their records here.

#include <atomic>
#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "minimiser/best_cover.hpp"
#include "minimiser/prime_engine.hpp"

namespace qm5::fast {

// Storage of one thread, kept from colour to colour.
struct BestWorker {
    PrimeWorker prime;  // prime.nonOff and prime.cover.onWords(): the colour's sets
    CoverSolver solver;
    HeapArray<CubeMasks> primes;
    std::uint64_t count = 0;

    // Work of every record made so far, in PrimeSearch's units (about a
    // nanosecond each): a count of steps, the same on every machine.
    std::uint64_t work() const { return prime.search.cost() + solver.work(); }

    // The cover stops once work() passes workLimit (the caller limits the
    // search's cost likewise); then no record is made.
    std::uint64_t workLimit = ~std::uint64_t{0};
};

// The record of a general colour (some on position, some off position).
// The caller has prepared worker.prime for b and filled its non-off and on
// bitmaps; on lists the on positions ascending. done, when given, receives
// the search's progress units.
// lean: the candidates are one implicant per on set of the primes
// (PrimeSearch::setSpans) and the maker's walk is not tried; the
// cover is about as small and, where don't cares are many, found many
// times faster, but may (rarely) have more cubes than the maker's.
MinimiseStatus bestRecord(BestWorker& worker, int b, std::span<const std::uint32_t> on, const CoverLimits& limits,
                          HeapArray<std::uint8_t>& record, std::atomic<std::uint64_t>* done = nullptr,
                          bool lean = false);

}  // namespace qm5::fast
