#include "reduce/structure_measure.hpp"

#include <algorithm>

namespace qm5 {

namespace {

constexpr std::int64_t kWindowPixels = 64;
// C1 n^2 and C2 n^2 for windows of n = 64 pixels, rounded.
constexpr std::int64_t kC1 = 26634;   // 6.5025 x 4096
constexpr std::int64_t kC2 = 239708;  // 58.5225 x 4096

std::int64_t channel(std::uint32_t c, int ch) { return static_cast<std::int64_t>((c >> (8 * ch)) & 0xFF); }

// SSIM of one window from its sums, in kSsimOne units.
std::int64_t windowSsim(std::int64_t sx, std::int64_t sxx, std::int64_t sy, std::int64_t syy, std::int64_t sxy) {
    const std::int64_t n = kWindowPixels;
    const std::int64_t a1 = 2 * sx * sy + kC1, b1 = sx * sx + sy * sy + kC1;
    const std::int64_t a2 = 2 * (n * sxy - sx * sy) + kC2;
    const std::int64_t b2 = n * sxx - sx * sx + n * syy - sy * sy + kC2;
    const std::int64_t luminance = a1 * kSsimOne / b1;
    const std::int64_t structure = a2 * kSsimOne / b2;
    return luminance * structure / kSsimOne;
}

}  // namespace

bool StructureMeasure::prepare(std::span<const std::uint32_t> pixels, std::uint64_t pixelCount, std::uint32_t images,
                               std::int32_t width) {
    pixels_ = pixels;
    pixelCount_ = pixelCount;
    images_ = images;
    width_ = width;
    cellsX_ = width / 4;
    cellsY_ = width > 0 ? static_cast<std::int64_t>(pixelCount / static_cast<std::uint64_t>(width)) / 4 : 0;
    const std::uint64_t cells = static_cast<std::uint64_t>(cellsX_ * cellsY_);
    if (!originalSums_.allocate(cells * images * 6)) return false;
    for (std::uint32_t m = 0; m < images; ++m) {
        for (std::int64_t y = 0; y < cellsY_ * 4; ++y) {
            for (std::int64_t x = 0; x < cellsX_ * 4; ++x) {
                const std::uint32_t c = pixels[m * pixelCount + static_cast<std::uint64_t>(y * width_ + x)];
                std::int32_t* sums = originalSums_.data() + ((m * cells) + static_cast<std::uint64_t>((y / 4) * cellsX_ + x / 4)) * 6;
                for (int ch = 0; ch < 3; ++ch) {
                    const std::int64_t v = channel(c, ch);
                    sums[2 * ch] += static_cast<std::int32_t>(v);
                    sums[2 * ch + 1] += static_cast<std::int32_t>(v * v);
                }
            }
        }
    }
    return true;
}

bool StructureMeasure::measure(std::span<const std::uint32_t> indices, std::span<const std::uint32_t> palette,
                               std::int64_t& ssim) const {
    ssim = kSsimOne;
    if (cellsX_ < 2 || cellsY_ < 2) return true;
    const std::uint64_t cells = static_cast<std::uint64_t>(cellsX_ * cellsY_);
    // Per cell and channel: sums of the reduced values, their squares and
    // their products with the originals.
    HeapArray<std::int32_t> sums;
    if (!sums.allocate(cells * 9)) return false;
    std::int64_t total = 0;
    std::int64_t windows = 0;
    for (std::uint32_t m = 0; m < images_; ++m) {
        std::fill(sums.begin(), sums.end(), 0);
        for (std::int64_t y = 0; y < cellsY_ * 4; ++y) {
            for (std::int64_t x = 0; x < cellsX_ * 4; ++x) {
                const std::uint64_t p = m * pixelCount_ + static_cast<std::uint64_t>(y * width_ + x);
                const std::uint32_t original = pixels_[p];
                const std::uint32_t reduced = palette[indices[p]];
                std::int32_t* s = sums.data() + static_cast<std::uint64_t>((y / 4) * cellsX_ + x / 4) * 9;
                for (int ch = 0; ch < 3; ++ch) {
                    const std::int64_t v = channel(reduced, ch);
                    s[3 * ch] += static_cast<std::int32_t>(v);
                    s[3 * ch + 1] += static_cast<std::int32_t>(v * v);
                    s[3 * ch + 2] += static_cast<std::int32_t>(v * channel(original, ch));
                }
            }
        }
        const std::int32_t* own = originalSums_.data() + m * cells * 6;
        for (std::int64_t cy = 0; cy + 1 < cellsY_; ++cy) {
            for (std::int64_t cx = 0; cx + 1 < cellsX_; ++cx) {
                for (int ch = 0; ch < 3; ++ch) {
                    std::int64_t sx = 0, sxx = 0, sy = 0, syy = 0, sxy = 0;
                    for (std::int64_t k = 0; k < 4; ++k) {
                        const std::uint64_t cell = static_cast<std::uint64_t>((cy + k / 2) * cellsX_ + cx + k % 2);
                        sx += own[cell * 6 + 2 * ch];
                        sxx += own[cell * 6 + 2 * ch + 1];
                        sy += sums[cell * 9 + 3 * ch];
                        syy += sums[cell * 9 + 3 * ch + 1];
                        sxy += sums[cell * 9 + 3 * ch + 2];
                    }
                    total += windowSsim(sx, sxx, sy, syy, sxy);
                    ++windows;
                }
            }
        }
    }
    ssim = total / windows;
    return true;
}

}  // namespace qm5
