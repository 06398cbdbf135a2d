#pragma once
// The all-colours engine: one pass over the 3^b cubes finds the primes of
// every colour of a picture. Per cube it keeps the highest palette index
// among the cube's positions (positions past the picture count as index 0);
// colour c's primes are the cubes of value c that no one-digit widening of
// the same value contains. It works slab by slab to keep its memory at
// about (2/3)^k of 3^b entries for k high digits (slab_engine.cpp).

#include <cstdint>

#include "minimiser/picture_compressor.hpp"
#include "minimiser/scheduler.hpp"

namespace qm5::fast {

// Working memory of runAllColours on `threads` threads.
std::uint64_t allColoursBytes(int b, std::uint32_t colours, unsigned threads, const FastTuning& tuning);

// The colours of the picture from job.first on, in one pass (more when the
// primes do not fit the key budget at once).
MinimiseStatus runAllColours(PictureJob& job);

}  // namespace qm5::fast
