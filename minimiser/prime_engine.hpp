#pragma once
// The top-down engine: each colour's primes from PrimeSearch
// (prime_search.hpp), their keys sorted and walked by the greedy cover. Its
// memory is a few bitmaps of 2^b bits and the keys per thread, whatever b.

#include <atomic>
#include <cstdint>

#include "core/heap_array.hpp"
#include "minimiser/picture_compressor.hpp"
#include "minimiser/prime_cover.hpp"
#include "minimiser/prime_search.hpp"
#include "minimiser/scheduler.hpp"

namespace qm5::fast {

// Working storage for one colour at a time, kept from colour to colour.
struct PrimeWorker {
    PrimeSearch search;
    CoverBuilder cover;
    HeapArray<std::uint64_t> keys;
    HeapArray<std::uint64_t> nonOff;  // 2^b bits: positions not off
    std::uint32_t nonOffUpTo = 0;     // nonOff holds the colours below it

    // Fills nonOff for colour c of job (at or above any colour before) and
    // the cover's on bitmap; false when storage cannot be had.
    [[nodiscard]] bool start(PictureJob& job, std::uint32_t c);

    static std::uint64_t bytesFor(int b, const FastTuning& tuning);
    // Sizes the storage for b; the cover is started (its on bitmap clear),
    // nonOff is left as it is.
    [[nodiscard]] bool prepare(int b, const FastTuning& tuning);
    // nonOff and the cover's on bitmap are filled: the record of the colour.
    MinimiseStatus run(int b, const FastTuning& tuning, HeapArray<std::uint8_t>& record,
                       std::atomic<std::uint64_t>* done = nullptr);
};

// Working memory of runTopDown on `threads` threads.
std::uint64_t topDownBytes(int b, unsigned threads, const FastTuning& tuning);

// The colours of the picture from job.first on, each on its own. With a
// budget (in PrimeSearch's cost units; 0: none), a colour that the budget
// left cannot finish is not delivered: it goes into job.overBudgetAt, and
// when it is the first colour not delivered the run returns outOfMemory
// with job.failed that colour.
MinimiseStatus runTopDown(PictureJob& job, std::uint64_t budget = 0);

// The all-colours engine's time on the picture, in the same units.
std::uint64_t tableCost(const PictureJob& job);
// The first top-down run takes at most this share of tableCost.
inline constexpr std::uint64_t kTopDownFirstShare = 20;

// Whether the top-down engine would take less time than the all-colours
// one on the colours from job.first on, from a sample of them; the sample
// costs at most 1 / kSampleShare of the table's time.
bool topDownWins(PictureJob& job);

}  // namespace qm5::fast
