#pragma once
// The per-colour engine: the primes of one colour from a bit per cube,
// "every position of the cube is non-off", over the 3^b cubes of the
// position bits, then the greedy cover of prime_cover.hpp. Its memory is
// 3^b / 8 bytes (the three lowest digits of 27 cubes share a 32-bit word)
// per thread, whatever the colour count.

#include <cstdint>

#include "core/heap_array.hpp"
#include "minimiser/fast_minimiser.hpp"
#include "minimiser/prime_cover.hpp"
#include "minimiser/scheduler.hpp"
#include "minimiser/ternary.hpp"

namespace qm5::fast {

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

// Primes sorted at once: the tuning's, or kKeyChunk.
inline std::uint64_t keyChunkOf(const FastTuning& tuning) {
    return tuning.keyChunk > 0 ? tuning.keyChunk : kKeyChunk;
}

// Working memory of runPerColour on `threads` threads.
std::uint64_t perColourBytes(int b, unsigned threads, const FastTuning& tuning);

// Every colour of the picture, each on its own.
MinimiseStatus runPerColour(PictureJob& job);

}  // namespace qm5::fast
