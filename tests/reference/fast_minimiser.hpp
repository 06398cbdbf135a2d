#pragma once
// FastMinimiser: one colour's table through the fast engines' primes and
// greedy cover, a drop-in for FunctionMinimiser producing identical
// records. No program minimises a single table (PictureCompressor takes a
// whole picture); the tests and the minimiser fuzz target run the engines'
// prime finding and cover on any table with it, the per-colour engine
// (colour_engine.hpp) by default and top-down with FastTuning's engine.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "minimiser/minimise_status.hpp"
#include "minimiser/picture_compressor.hpp"

namespace qm5 {

class FastMinimiser {
public:
    FastMinimiser() = default;
    FastMinimiser(const FastMinimiser&) = delete;
    FastMinimiser& operator=(const FastMinimiser&) = delete;

    // As FunctionMinimiser::minimise: entryCount entries of 0 (off), 1 (on),
    // 2 (don't care); the first 2^floor(log2 entryCount) are used.
    bool minimise(std::int32_t entryCount, const std::int32_t* table);

    MinimiseStatus status() const { return status_; }
    std::span<const std::uint8_t> record() const { return record_.span(); }  // 3 + dataLength() bytes
    std::int32_t dataLength() const { return dataLength_; }
    std::int32_t bitCount() const { return bitCount_; }

    void setTuningForTesting(const FastTuning& tuning) { tuning_ = tuning; }

private:
    FastTuning tuning_;
    HeapArray<std::uint8_t> record_;
    std::int32_t dataLength_ = 0;
    std::int32_t bitCount_ = 0;
    MinimiseStatus status_ = MinimiseStatus::ok;
};

}  // namespace qm5
