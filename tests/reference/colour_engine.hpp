#pragma once
// The per-colour engine, a reference no program runs: the primes of one
// colour from a bit per cube, "every position of the cube is non-off", over
// the 3^b cubes of the position bits, then the greedy cover of
// minimiser/prime_cover.hpp. Its memory is 3^b / 8 bytes (the three lowest
// digits of 27 cubes share a 32-bit word) per thread, whatever the colour
// count. It was the engines' fallback before top-down; now the tests and
// the minimiser fuzz target hold the table and top-down engines to its
// records, and FastMinimiser (fast_minimiser.hpp) runs one colour on it.

#include <cstdint>

#include "core/heap_array.hpp"
#include "minimiser/picture_compressor.hpp"
#include "minimiser/prime_cover.hpp"
#include "minimiser/scheduler.hpp"
#include "minimiser/ternary.hpp"

namespace qm5::fast {

// One bit per cube: element bit t is the cube whose three lowest digits are
// the ternary number t and whose higher digits are the element's number.
// Set = every position of the cube is non-off.
struct SubsetPolicy {
    using E = std::uint32_t;
    static E expand(E a, E b) { return a & b; }
    static E prune(E narrow, E wide) { return narrow & ~wide; }
    static E prunePattern(E t, E w1, E w2, E m0, E m1) { return t & ~((w2 & m0) | (w1 & m1)); }
};

// A TernaryView over its own storage, kept while the size stays the same.
template <class Policy>
class TernaryCube {
public:
    using E = typename Policy::E;
    static std::uint64_t bytesFor(int vars) { return TernaryView<Policy>::storageFor(vars) * sizeof(E); }

    [[nodiscard]] bool allocate(int vars, int wantedBlockVars) {
        const std::uint64_t count = TernaryView<Policy>::storageFor(vars);
        if (data_.size() != count && !data_.allocate(count)) return false;
        view_ = TernaryView<Policy>(data_.data(), vars, wantedBlockVars);
        return true;
    }
    TernaryView<Policy>& view() { return view_; }
    const TernaryView<Policy>& view() const { return view_; }

private:
    HeapArray<E> data_;
    TernaryView<Policy> view_;
};


// Working storage for one colour at a time, kept from colour to colour: the
// cover and the sorted primes; the subset cube for the per-colour engine.
struct ColourWorker {
    CoverBuilder cover;
    HeapArray<std::uint64_t> keys;
    HeapArray<std::uint64_t> nonOff;  // 2^b bits: positions not off
    TernaryCube<SubsetPolicy> cube;

    static std::uint64_t bytesFor(int b, const FastTuning& tuning);
    // Sizes the storage for b; on and nonOff are cleared.
    [[nodiscard]] bool prepare(int b, const FastTuning& tuning);
    // nonOff and the cover's on bitmap are filled: the record of the colour.
    MinimiseStatus run(int b, const FastTuning& tuning, HeapArray<std::uint8_t>& record);
};

// Working memory of runPerColour on `threads` threads.
std::uint64_t perColourBytes(int b, unsigned threads, const FastTuning& tuning);

// Every colour of the picture, each on its own.
MinimiseStatus runPerColour(PictureJob& job);

}  // namespace qm5::fast

namespace qm5 {

// PictureCompressor::compress with the per-colour engine: the same records,
// sink calls and failures.
MinimiseStatus compressPerColour(const std::uint32_t* indices, std::uint64_t pixelCount, std::uint32_t colourCount,
                                 const CompressOptions& options, const FastTuning& tuning,
                                 const PictureCompressor::Sink& sink, std::uint32_t& failedColour);

}  // namespace qm5
