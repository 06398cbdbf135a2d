#include "reduce/error_weights.hpp"

#include <algorithm>

#include "core/heap_array.hpp"
#include "reduce/picture_error.hpp"

namespace qm5 {

namespace {

constexpr std::int64_t kRadius = 3;  // 7 x 7 windows

// Sums of each row's values over the window across x, then of those across
// y, clipped at the picture's edges: out[p] = sum of in over the window of p.
void boxSum(std::span<const std::int32_t> in, std::int64_t width, std::int64_t height, std::span<std::int32_t> row,
            std::span<std::int32_t> out) {
    for (std::int64_t y = 0; y < height; ++y) {
        const std::int32_t* line = in.data() + y * width;
        std::int32_t sum = 0;
        for (std::int64_t x = 0; x < std::min(kRadius, width); ++x) sum += line[x];
        for (std::int64_t x = 0; x < width; ++x) {
            if (x + kRadius < width) sum += line[x + kRadius];
            if (x - kRadius - 1 >= 0) sum -= line[x - kRadius - 1];
            row[static_cast<std::size_t>(y * width + x)] = sum;
        }
    }
    for (std::int64_t x = 0; x < width; ++x) {
        std::int32_t sum = 0;
        for (std::int64_t y = 0; y < std::min(kRadius, height); ++y) sum += row[static_cast<std::size_t>(y * width + x)];
        for (std::int64_t y = 0; y < height; ++y) {
            if (y + kRadius < height) sum += row[static_cast<std::size_t>((y + kRadius) * width + x)];
            if (y - kRadius - 1 >= 0) sum -= row[static_cast<std::size_t>((y - kRadius - 1) * width + x)];
            out[static_cast<std::size_t>(y * width + x)] = sum;
        }
    }
}

}  // namespace

bool structureWeights(std::span<const std::uint32_t> pixels, std::int32_t width, std::uint32_t constant,
                      std::span<std::uint8_t> weights) {
    const std::int64_t w = std::max(width, 1);
    const std::int64_t h = static_cast<std::int64_t>(pixels.size()) / w;
    const std::size_t count = pixels.size();
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
        for (std::size_t p = 0; p < count; ++p) {
            const std::int64_t x = static_cast<std::int64_t>(p) % w, y = static_cast<std::int64_t>(p) / w;
            const std::int64_t n = (std::min(x + kRadius, w - 1) - std::max<std::int64_t>(x - kRadius, 0) + 1) *
                                   (std::min(y + kRadius, h - 1) - std::max<std::int64_t>(y - kRadius, 0) + 1);
            variance[p] += n * sumSquares[p] - std::int64_t{sums[p]} * sums[p];
        }
    }
    for (std::size_t p = 0; p < count; ++p) {
        const std::int64_t x = static_cast<std::int64_t>(p) % w, y = static_cast<std::int64_t>(p) / w;
        const std::int64_t n = (std::min(x + kRadius, w - 1) - std::max<std::int64_t>(x - kRadius, 0) + 1) *
                               (std::min(y + kRadius, h - 1) - std::max<std::int64_t>(y - kRadius, 0) + 1);
        // v = variance[p] / (3 n^2); weight = 64 C / (v + C), rounded.
        const std::int64_t c = static_cast<std::int64_t>(constant) * 3 * n * n;
        const std::int64_t weight = (std::int64_t{kMaxErrorWeight} * c + (variance[p] + c) / 2) / (variance[p] + c);
        weights[p] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(weight, 1, kMaxErrorWeight));
    }
    return true;
}

}  // namespace qm5
