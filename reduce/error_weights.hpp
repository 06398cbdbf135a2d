#pragma once
// The guard against visible blocks: how much each pixel's squared error
// counts when regions are chosen. A block of one colour over pixels that
// vary little looks worse than its squared error says: SSIM (Wang, Bovik,
// Sheikh and Simoncelli, "Image quality assessment: from error visibility
// to structural similarity", 2004) loses 1 / (variance + C2) of a window's
// similarity per unit of squared error that flattens it, so error is
// least visible where the picture varies most. The weight of a pixel is
// 64 C / (v + C), at least 1, where v is the variance of the picture (per
// channel) in the 7 x 7 window about it (the picture repeating beyond its
// edges, as a tiled texture does) and C the guard's constant (C2 =
// (0.03 x 255)^2 = 58.5 for SSIM's own balance; larger, weaker). The
// regions then spend their error on textures rather than on smooth areas,
// while the quality asked is still met in plain squared error.

#include <cstdint>
#include <span>

namespace qm5 {

inline constexpr std::uint32_t kMaxErrorWeight = 64;

// weights receives one weight (1 .. kMaxErrorWeight) per pixel of the
// picture (width x pixels.size() / width). False when memory ran out.
[[nodiscard]] bool structureWeights(std::span<const std::uint32_t> pixels, std::int32_t width, std::uint32_t constant,
                                    std::span<std::uint8_t> weights);

}  // namespace qm5
