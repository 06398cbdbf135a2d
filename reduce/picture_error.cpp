#include "reduce/picture_error.hpp"

#include <bit>

namespace qm5 {

namespace {

// log2(10) with 32 fraction bits.
constexpr std::uint64_t kLog2Of10 = 14267572527u;
// 255^2: the peak of one channel, squared.
constexpr std::uint64_t kPeakSquared = 65025;
// Units of the last place taken off a difference of two logarithms, more
// than the two roundings can have lost between them.
constexpr std::uint64_t kLogMargin = 8;

}  // namespace

std::uint64_t fixedLog2(std::uint64_t x) {
    if (x <= 1) return 0;
    const int e = 63 - std::countl_zero(x);
    // x = 2^e * m / 2^31 with m in [2^31, 2^32): each squaring of m gives one
    // more bit of the fraction.
    std::uint64_t m = e >= 31 ? x >> (e - 31) : x << (31 - e);
    std::uint64_t result = static_cast<std::uint64_t>(e) << 32;
    for (int bit = 31; bit >= 0; --bit) {
        m = (m * m) >> 31;
        if (m >= (std::uint64_t{1} << 32)) {
            m >>= 1;
            result |= std::uint64_t{1} << bit;
        }
    }
    return result;
}

std::uint32_t psnrHundredths(std::uint64_t squaredError, std::uint64_t samples) {
    if (squaredError == 0) return kLosslessPsnr;
    // samples * 255^2 fits: samples < 2^32 * 3 for every picture list read.
    const std::uint64_t top = fixedLog2(samples * kPeakSquared);
    // +1: fixedLog2 rounds down, so the error's logarithm is taken from
    // above and the PSNR from below.
    const std::uint64_t bottom = fixedLog2(squaredError) + 1;
    if (top <= bottom + kLogMargin) return 0;
    const std::uint64_t hundredths = (top - bottom - kLogMargin) * 1000 / kLog2Of10;
    return hundredths >= kLosslessPsnr ? kLosslessPsnr - 1 : static_cast<std::uint32_t>(hundredths);
}

std::uint64_t errorBudget(std::uint32_t quality, std::uint64_t samples) {
    // psnrHundredths falls as the error grows: the last error that still
    // reaches the quality, by bisection.
    std::uint64_t low = 0;  // reaches it (lossless)
    std::uint64_t high = samples * kPeakSquared + 1;
    if (psnrHundredths(high - 1, samples) >= quality) return high - 1;
    while (high - low > 1) {
        const std::uint64_t mid = low + (high - low) / 2;
        if (psnrHundredths(mid, samples) >= quality) {
            low = mid;
        } else {
            high = mid;
        }
    }
    return low;
}

std::uint64_t indexPictureError(std::span<const std::uint32_t> original, std::span<const std::uint32_t> indices,
                                std::span<const std::uint32_t> palette) {
    std::uint64_t sum = 0;
    for (std::size_t p = 0; p < original.size(); ++p) {
        sum += static_cast<std::uint64_t>(colourDistance(original[p], palette[indices[p]]));
    }
    return sum;
}

}  // namespace qm5
