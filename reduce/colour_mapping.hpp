#pragma once
// Pixels to palette indices without regions: every pixel to its nearest
// palette colour, or with Floyd-Steinberg error diffusion (Floyd and
// Steinberg, "An adaptive algorithm for spatial greyscale", 1976) for
// pictures meant to be stored plain, where noise costs nothing.

#include <cstdint>
#include <span>

#include "reduce/nearest_colour.hpp"

namespace qm5 {

// indices[p] = the nearest palette colour to pixels[p]. Rows are split over
// threads; the result does not depend on their number.
void mapToNearest(std::span<const std::uint32_t> pixels, const NearestColour& palette, unsigned threads,
                  std::span<std::uint32_t> indices);

// Floyd-Steinberg: left to right, top to bottom, the error of each pixel
// (integers; from the clamped value) passed on 7/16 to the right, 3/16 below left,
// 5/16 below, 1/16 below right; the value looked up is clamped to 0..255.
// False when memory ran out.
[[nodiscard]] bool mapWithDithering(std::span<const std::uint32_t> pixels, std::int32_t width,
                                    const NearestColour& palette, std::span<std::uint32_t> indices);

}  // namespace qm5
