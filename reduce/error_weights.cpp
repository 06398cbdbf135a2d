#include "reduce/error_weights.hpp"

#include <algorithm>

#include "core/heap_array.hpp"
#include "reduce/picture_error.hpp"

namespace qm5 {

namespace {

constexpr std::int64_t kRadius = 3;  // 7 x 7 windows

constexpr std::int64_t kWindow = 2 * kRadius + 1;

// Sums of each row's values over the window across x, then of those across
// y: out[p] = the sum of in over the window of p, the picture taken as
// repeating beyond its edges (as a tiled texture does).
void boxSum(std::span<const std::int32_t> in, std::int64_t width, std::int64_t height, std::span<std::int32_t> row,
            std::span<std::int32_t> out) {
    const auto wrap = [](std::int64_t v, std::int64_t n) { return static_cast<std::size_t>(((v % n) + n) % n); };
    for (std::int64_t y = 0; y < height; ++y) {
        const std::int32_t* line = in.data() + y * width;
        std::int32_t sum = 0;
        for (std::int64_t d = -kRadius; d <= kRadius; ++d) sum += line[wrap(d, width)];
        for (std::int64_t x = 0; x < width; ++x) {
            row[static_cast<std::size_t>(y * width + x)] = sum;
            sum += line[wrap(x + kRadius + 1, width)] - line[wrap(x - kRadius, width)];
        }
    }
    for (std::int64_t x = 0; x < width; ++x) {
        std::int32_t sum = 0;
        for (std::int64_t d = -kRadius; d <= kRadius; ++d) sum += row[wrap(d, height) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)];
        for (std::int64_t y = 0; y < height; ++y) {
            out[static_cast<std::size_t>(y * width + x)] = sum;
            sum += row[wrap(y + kRadius + 1, height) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] -
                   row[wrap(y - kRadius, height) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)];
        }
    }
}

}  // namespace

bool structureWeights(std::span<const std::uint32_t> pixels, std::int32_t width, std::uint32_t constant,
                      std::span<std::uint8_t> weights) {
    const std::int64_t w = std::max(width, 1);
    const std::int64_t h = static_cast<std::int64_t>(pixels.size()) / w;
    const std::size_t count = static_cast<std::size_t>(w * h);
    constexpr std::int64_t n = kWindow * kWindow;
    HeapArray<std::int32_t> values, squares, row, sums, sumSquares;
    HeapArray<std::int64_t> variance;  // n^2 times the variance, summed over the channels
    if (!values.allocate(count) || !squares.allocate(count) || !row.allocate(count) || !sums.allocate(count) ||
        !sumSquares.allocate(count) || !variance.allocate(count)) {
        return false;
    }
    for (int ch = 0; ch < 3; ++ch) {
        for (std::size_t p = 0; p < count; ++p) {
            const std::int32_t v = static_cast<std::int32_t>((pixels[p] >> (8 * ch)) & 0xFF);
            values[p] = v;
            squares[p] = v * v;
        }
        boxSum(values.span(), w, h, row.span(), sums.span());
        boxSum(squares.span(), w, h, row.span(), sumSquares.span());
        for (std::size_t p = 0; p < count; ++p) variance[p] += n * sumSquares[p] - std::int64_t{sums[p]} * sums[p];
    }
    for (std::size_t p = 0; p < count; ++p) {
        // v = variance[p] / (3 n^2); weight = 64 C / (v + C), rounded.
        const std::int64_t c = static_cast<std::int64_t>(constant) * 3 * n * n;
        const std::int64_t weight = (std::int64_t{kMaxErrorWeight} * c + (variance[p] + c) / 2) / (variance[p] + c);
        weights[p] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(weight, 1, kMaxErrorWeight));
    }
    return true;
}

}  // namespace qm5
