#include "minimiser/palette_model.hpp"

#include <algorithm>
#include <numeric>

#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

// Fixed point of the model's weights: 1 is 2^32 (integers, so that every
// machine sorts alike).
constexpr int kModelShift = 32;

}  // namespace

// The model: how much colour x gains from colour a below it as a don't
// care, gain(x, a). A position p of x with d one-bit neighbours of x or
// past the picture and e of a lies in cubes of at most 2^d positions
// without a and 2^(d + e) with it, so its share of a cube count, 2^-d,
// falls by 2^-d (1 - 2^-e). The model knows nothing of cubes beyond one
// step; it only proposes an order for the real records to judge.
// The model's order: colours by what they gain from all others less what
// the others gain from them, ascending (ties: the maker's order). Each
// pair's gain is summed in full, then taken in quarters: every sum stays
// below 2^62 (at most 2^30 positions of weight at most 2^32), a quarter
// keeps the differences in range. gain(x, a) comes from the positions of x
// alone, so the table is made a row at a time (positions by colour, as the
// evaluator holds them).
bool modelOrder(const fast::OrderEvaluator& evaluator, std::span<const std::uint32_t* const> images,
                std::uint64_t pixels, std::uint32_t colours, std::span<std::uint32_t> order) {
    const int b = positionBitCount(pixels);
    HeapArray<std::uint64_t> row;  // gain(x, a) for the colour x at hand
    HeapArray<std::int64_t> net;
    if (!row.allocate(colours) || !net.allocate(colours)) return false;
    for (std::uint32_t x = 0; x < colours; ++x) {
        for (std::size_t m = 0; m < images.size(); ++m) {
            const std::uint32_t* indices = images[m];
            for (const std::uint32_t p : evaluator.positions(m, x)) {
                std::uint32_t other[32];
                int times[32];
                int distinct = 0;
                int d = 0;
                for (int k = 0; k < b; ++k) {
                    const std::uint64_t q = p ^ (std::uint64_t{1} << k);
                    const std::uint32_t a = q < pixels ? indices[q] : x;
                    if (a == x) {
                        ++d;
                        continue;
                    }
                    int j = 0;
                    while (j < distinct && other[j] != a) ++j;
                    if (j == distinct) {
                        other[distinct] = a;
                        times[distinct++] = 0;
                    }
                    ++times[j];
                }
                for (int j = 0; j < distinct; ++j) {
                    const int e = times[j];
                    row[other[j]] += ((std::uint64_t{1} << e) - 1) << (kModelShift - d - e);
                }
            }
        }
        for (std::uint32_t a = 0; a < colours; ++a) {
            const auto quarter = static_cast<std::int64_t>(row[a] >> 2);
            net[x] += quarter;
            net[a] -= quarter;
            row[a] = 0;
        }
    }
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) { return net[x] < net[y]; });
    return true;
}

}  // namespace qm5
