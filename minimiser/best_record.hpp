#pragma once
// One colour's record as --best writes it, from the sets a worker holds:
// the implicants of the non-off set that PrimeSearch gives with spans and
// dominance sets (prime_search.hpp: one per on set that no other holds more
// of, or nearly so) are the candidates, and CoverSolver chooses among them.
// BestCompressor and the palette order search both make their records here.

#include <atomic>
#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "minimiser/best_cover.hpp"
#include "minimiser/memory_account.hpp"
#include "minimiser/prime_search.hpp"

namespace qm5::fast {

// Storage of one thread, kept from colour to colour.
struct BestWorker {
    PrimeSearch search;
    CountedArray<std::uint64_t> nonOff;  // 2^b bits: positions not off
    CountedArray<std::uint64_t> on;      // 2^b bits: the colour's on positions
    CoverSolver solver;
    CountedArray<CubeMasks> candidates;  // of the record being made
    std::uint64_t count = 0;

    // Every allocation from here on is taken from account (none: not counted).
    void setAccount(MemoryAccount* account);
    // The search's frames and both bitmaps for b; a worker whose b changes
    // has its bitmaps cleared. False when storage cannot be had.
    [[nodiscard]] bool prepare(int b);
    // Bytes prepare takes (a record adds its candidates and cover table).
    static std::uint64_t bytesFor(int b);
    // Gives back the bitmaps and frames.
    void release();

    // Work of every record made so far, in PrimeSearch's units (about a
    // nanosecond each): a count of steps, the same on every machine. The
    // cover counts in eighths of that unit (CoverWeights).
    std::uint64_t work() const { return search.cost() + solver.work() / CoverWeights::kPerUnit + screened; }
    std::uint64_t screened = 0;  // neighbours looked at before the searches

    // The cover stops once work() passes workLimit (the caller limits the
    // search's cost likewise); then no record is made.
    std::uint64_t workLimit = ~std::uint64_t{0};

private:
    int b_ = -1;
};

// The record of a general colour (some on position, some off position).
// The caller has prepared the worker for b and filled its non-off and on
// bitmaps; on lists the on positions ascending. done, when given, receives
// the search's progress units. The candidates and the cover's tables are
// freed before it returns.
MinimiseStatus bestRecord(BestWorker& worker, int b, std::span<const std::uint32_t> on, const CoverLimits& limits,
                          HeapArray<std::uint8_t>& record, std::atomic<std::uint64_t>* done = nullptr);

}  // namespace qm5::fast
