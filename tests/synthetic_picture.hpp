#pragma once
// Palette indices of synthetic pictures for tests and measurements, made
// without any picture file. "Photo-like": two smooth fields with a little
// noise, the index taking the first field as its high part and the second
// as its low part, as a palette sorted by 32-bit colour value orders a
// quantised photo by its top channel first.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace qm5::test {

inline std::vector<std::uint32_t> photoLikeIndices(int width, int height, std::uint32_t colours, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> phase(0.0, 6.283185307179586);
    std::uniform_real_distribution<double> noise(-0.04, 0.04);
    const double a1 = phase(rng), a2 = phase(rng), a3 = phase(rng), a4 = phase(rng);
    auto levels = static_cast<std::uint32_t>(std::ceil(std::sqrt(static_cast<double>(colours))));
    if (levels == 0) levels = 1;
    std::vector<std::uint32_t> indices(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / std::max(1, width);
            const double v = static_cast<double>(y) / std::max(1, height);
            double f1 = 0.5 + 0.3 * std::sin(5.0 * u + a1) * std::cos(3.0 * v + a2) + 0.2 * (u - v) + noise(rng);
            double f2 = 0.5 + 0.4 * std::sin(9.0 * v + 4.0 * u + a3) * std::sin(7.0 * u + a4) + noise(rng);
            f1 = std::fmin(std::fmax(f1, 0.0), 0.999999);
            f2 = std::fmin(std::fmax(f2, 0.0), 0.999999);
            const auto q1 = static_cast<std::uint32_t>(f1 * levels);
            const auto q2 = static_cast<std::uint32_t>(f2 * levels);
            const std::uint32_t index = q1 * levels + q2;
            indices[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] =
                index < colours ? index : colours - 1;
        }
    }
    return indices;
}

// n pixels, each a random entry of a random palette of `colours` 24-bit
// colours.
inline std::vector<std::uint32_t> randomPixels(std::size_t n, std::uint32_t colours, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> palette(colours);
    for (auto& c : palette) c = rng() & 0xFFFFFF;
    std::vector<std::uint32_t> out(n);
    for (auto& v : out) v = palette[rng() % colours];
    return out;
}

// Uniformly random indices: the hardest case for a minimiser.
inline std::vector<std::uint32_t> noiseIndices(std::size_t count, std::uint32_t colours, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> indices(count);
    for (auto& index : indices) index = static_cast<std::uint32_t>(rng() % colours);
    return indices;
}

}  // namespace qm5::test
