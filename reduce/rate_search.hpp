#pragma once
// The search behind reduceColours: candidate reductions of the pictures of
// one texture, each a palette and the index pictures over it, judged by the
// bytes of the texture they make (estimated, or priced by the caller).

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "reduce/colour_reduction.hpp"
#include "reduce/palette_builder.hpp"

namespace qm5 {

// The pixels of every picture of a texture, one after another.
struct ReductionInput {
    std::span<const std::uint32_t> pixels;  // packed RGB, images x pixelCount
    std::uint64_t pixelCount = 0;            // of one picture
    std::uint32_t images = 0;
    std::int32_t width = 0;
    std::span<const ColourCount> histogram;  // the distinct colours of all of them
    std::span<const ColourCount> paletteHistogram;  // the same, or a shorter one with nearby colours merged
};

struct Candidate {
    HeapArray<std::uint32_t> palette;
    HeapArray<std::uint32_t> indices;  // images x pixelCount
    std::uint64_t squaredError = 0;
    std::uint64_t bytes = 0;            // estimated or priced
    std::uint32_t freeColour = 0xFFFFFFFFu;  // the colour the regions left free, if any
    std::int64_t lambda = 0;
    bool regions = false;
    bool valid = false;
};

// Runs the search the options ask for (see colour_reduction.hpp) into best,
// the candidate of fewest bytes estimated, and plain, the nearest colours
// of the fewest colours that reach the quality (when regions were tried:
// kept for the caller's pricer). outOfMemory, qualityUnreachable (best then
// holds the candidate of least error found, for its PSNR) or none.
ReduceError searchReduction(const ReductionInput& input, const ReduceOptions& options, Candidate& best,
                            Candidate& plain);

}  // namespace qm5
