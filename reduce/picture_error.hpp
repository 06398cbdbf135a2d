#pragma once
// Squared error between colours and pictures, and PSNR in whole hundredths
// of a decibel, all in integers so that every machine, thread count and
// 32-bit build takes the same decisions from them.
//
// PSNR over RGB: 10 log10(255^2 / MSE), the MSE taken over the three
// channels of every pixel. It is computed from fixed-point base-2 logarithms
// (32 fraction bits) and rounded down, with a margin of a few units of the
// last place, so the PSNR reported is never above the exact figure.

#include <cstdint>
#include <span>

namespace qm5 {

// The PSNR of a picture equal to its original.
inline constexpr std::uint32_t kLosslessPsnr = 0xFFFFFFFFu;

constexpr std::int32_t redOf(std::uint32_t c) { return static_cast<std::int32_t>(c & 0xFF); }
constexpr std::int32_t greenOf(std::uint32_t c) { return static_cast<std::int32_t>((c >> 8) & 0xFF); }
constexpr std::int32_t blueOf(std::uint32_t c) { return static_cast<std::int32_t>((c >> 16) & 0xFF); }
constexpr std::uint32_t rgb(std::int32_t r, std::int32_t g, std::int32_t b) {
    return static_cast<std::uint32_t>(r) | (static_cast<std::uint32_t>(g) << 8) | (static_cast<std::uint32_t>(b) << 16);
}

// Squared distance of two packed colours, summed over the three channels.
constexpr std::int32_t colourDistance(std::uint32_t a, std::uint32_t b) {
    const std::int32_t dr = redOf(a) - redOf(b);
    const std::int32_t dg = greenOf(a) - greenOf(b);
    const std::int32_t db = blueOf(a) - blueOf(b);
    return dr * dr + dg * dg + db * db;
}

// log2(x) for x >= 1, with 32 fraction bits, rounded down.
std::uint64_t fixedLog2(std::uint64_t x);

// PSNR in hundredths of a dB of a squared error summed over `samples`
// channel values (three per pixel); kLosslessPsnr when the error is 0.
std::uint32_t psnrHundredths(std::uint64_t squaredError, std::uint64_t samples);

// The largest summed squared error over `samples` channel values whose PSNR
// (as psnrHundredths gives it) is at least `quality` hundredths of a dB.
std::uint64_t errorBudget(std::uint32_t quality, std::uint64_t samples);

// Summed squared error of an index picture against its original.
std::uint64_t indexPictureError(std::span<const std::uint32_t> original, std::span<const std::uint32_t> indices,
                                std::span<const std::uint32_t> palette);

}  // namespace qm5
