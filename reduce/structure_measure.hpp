#pragma once
// The guard's measure: SSIM (Wang, Bovik, Sheikh and Simoncelli, "Image
// quality assessment: from error visibility to structural similarity",
// 2004) of a reduced picture against its original, the mean over the three
// channels of 8 x 8 windows placed every 4 pixels, with the paper's
// constants C1 = (0.01 x 255)^2 and C2 = (0.03 x 255)^2. Flat blocks over
// pixels that vary, and steps where the original is smooth, lower it.
// Integer arithmetic throughout, so that the search's decisions from it are
// the same on every machine.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"

namespace qm5 {

// SSIM's unit here: 1.0 = 65536.
inline constexpr std::int64_t kSsimOne = 65536;

class StructureMeasure {
public:
    // The originals: images pictures of pixelCount packed RGB pixels each,
    // rows of width. Pictures smaller than one window measure as equal.
    [[nodiscard]] bool prepare(std::span<const std::uint32_t> pixels, std::uint64_t pixelCount, std::uint32_t images,
                               std::int32_t width);
    // The mean SSIM (kSsimOne units) of index pictures over palette against
    // the originals; false when memory ran out.
    [[nodiscard]] bool measure(std::span<const std::uint32_t> indices, std::span<const std::uint32_t> palette,
                               std::int64_t& ssim) const;

private:
    // Per image, per cell of 4 x 4 pixels, per channel: sums of the values
    // and of their squares.
    HeapArray<std::int32_t> originalSums_;
    std::span<const std::uint32_t> pixels_;
    std::uint64_t pixelCount_ = 0;
    std::uint32_t images_ = 0;
    std::int64_t width_ = 0;
    std::int64_t cellsX_ = 0;  // whole cells across and down
    std::int64_t cellsY_ = 0;
};

}  // namespace qm5
