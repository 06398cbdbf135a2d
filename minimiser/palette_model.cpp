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

// Adds the gains of position p (colour x) to gain[a] for each colour a among
// its one-bit neighbours: with d of its b neighbours x or past the picture
// and e of them a, it lies in cubes of at most 2^d positions without a and
// 2^(d + e) with it, so its share of a cube count falls by 2^-d (1 - 2^-e).
// times (one per colour, zero between calls) counts e, other lists the a.
// Inside: no neighbour of p is past the picture (it fills all 2^b positions).
template <bool Inside>
inline void addGainsOf(const std::uint32_t* indices, std::uint64_t pixels, int b, std::uint64_t p, std::uint32_t x,
                       std::uint64_t* gain, std::uint8_t* times) {
    std::uint32_t other[32];
    int distinct = 0;
    int d = 0;
    const std::uint64_t top = std::uint64_t{1} << b;
    for (std::uint64_t bit = 1; bit != top; bit <<= 1) {
        const std::uint64_t q = p ^ bit;
        const std::uint32_t a = Inside || q < pixels ? indices[q] : x;
        if (a == x) {
            ++d;
        } else if (times[a]++ == 0) {
            other[distinct++] = a;
        }
    }
    for (int j = 0; j < distinct; ++j) {
        const std::uint32_t a = other[j];
        const int e = times[a];
        times[a] = 0;
        gain[a] += ((std::uint64_t{1} << e) - 1) << (kModelShift - d - e);
    }
}

inline void addGains(const std::uint32_t* indices, std::uint64_t pixels, int b, std::uint64_t p, std::uint32_t x,
                     std::uint64_t* gain, std::uint8_t* times) {
    if (pixels == std::uint64_t{1} << b) {
        addGainsOf<true>(indices, pixels, b, p, x, gain, times);
    } else {
        addGainsOf<false>(indices, pixels, b, p, x, gain, times);
    }
}

// Takes colour x's row of gains into the sums, in quarters, and clears it.
void takeRow(std::uint32_t x, std::uint64_t* gain, std::uint32_t colours, std::int64_t* net) {
    for (std::uint32_t a = 0; a < colours; ++a) {
        const auto quarter = static_cast<std::int64_t>(gain[a] >> 2);
        net[x] += quarter;
        net[a] -= quarter;
        gain[a] = 0;
    }
}

}  // namespace

// The model: gain(x, a), how much colour x gains from colour a below it as a
// don't care (addGains). It knows nothing of cubes beyond one step; it only
// proposes an order for the real records to judge. The model's order:
// colours by what they gain from all others less what the others gain from
// them, ascending (ties: the maker's order). Each pair's gain is summed in
// full, then taken in quarters: every sum stays below 2^62 (at most 2^30
// positions of weight at most 2^32), a quarter keeps the differences in
// range. gain(x, a) comes from the positions of x alone, so the table is made
// a row at a time (positions by colour, as the evaluator holds them).
bool modelOrder(const fast::OrderEvaluator& evaluator, std::span<const std::uint32_t* const> images,
                std::uint64_t pixels, std::uint32_t colours, std::span<std::uint32_t> order) {
    const int b = positionBitCount(pixels);
    HeapArray<std::uint64_t> row;  // gain(x, a) for the colour x at hand
    HeapArray<std::int64_t> net;
    HeapArray<std::uint8_t> times;
    if (!row.allocate(colours) || !net.allocate(colours) || !times.allocate(colours)) return false;
    for (std::uint32_t x = 0; x < colours; ++x) {
        for (std::size_t m = 0; m < images.size(); ++m) {
            for (const std::uint32_t p : evaluator.positions(m, x)) {
                addGains(images[m], pixels, b, p, x, row.data(), times.data());
            }
        }
        takeRow(x, row.data(), colours, net.data());
    }
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) { return net[x] < net[y]; });
    return true;
}

}  // namespace qm5
