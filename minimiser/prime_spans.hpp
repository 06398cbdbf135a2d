#pragma once
// PrimeSearch::spans, included at the end of prime_search.hpp.

#include <array>
#include <bit>
#include <cstdint>

namespace qm5::fast {

// The non-empty subsets of kSpanPoints points, by size descending and, within
// a size, by value descending: spans() visits the subsets of its n points in
// this order (those with bits at n or above skipped), without counting bits
// in its loop.
inline constexpr std::array<std::uint8_t, (1u << PrimeSearch::kSpanPoints) - 1> kSubsetsLargestFirst = [] {
    std::array<std::uint8_t, (1u << PrimeSearch::kSpanPoints) - 1> order{};
    std::size_t at = 0;
    for (int size = PrimeSearch::kSpanPoints; size >= 1; --size) {
        for (unsigned subset = (1u << PrimeSearch::kSpanPoints) - 1; subset > 0; --subset) {
            if (std::popcount(subset) == size) order[at++] = static_cast<std::uint8_t>(subset);
        }
    }
    return order;
}();

// The spans of the largest subsets of points (n of them, at most
// kSpanPoints, in a node over k bits with set s) that lie in s: subsets by
// size descending, each skipped when it lies in one found already; a span
// inside one of the dominance sets d[0 .. nd - 1] counts as found but is
// not given.
template <class Take>
void PrimeSearch::spans(int k, const Word* s, const Word* const* d, int nd, const std::uint32_t* points, int n,
                        std::uint32_t care, std::uint32_t one, const Take& take) {
    const std::uint32_t all = bitmap::lowBits(k);
    unsigned given[1u << kSpanPoints];
    int givenCount = 0;
    for (const std::uint8_t subset : kSubsetsLargestFirst) {
        if (subset >> n != 0) continue;
        bool inside = false;
        for (int g = 0; g < givenCount && !inside; ++g) inside = (subset & ~given[g]) == 0;
        if (inside) continue;
        const std::uint32_t first = points[std::countr_zero(subset)];
        std::uint32_t differ = 0;
        for (unsigned rest = subset; rest != 0; rest &= rest - 1) differ |= points[std::countr_zero(rest)] ^ first;
        const std::uint32_t fixed = all & ~differ;
        const bitmap::CubeWords cube(k, fixed, first & fixed);
        const bool implicant = cube.each([&](std::uint32_t w, Word pattern) {
            ++work_;
            return (s[w] & pattern) == pattern;
        });
        if (!implicant) continue;
        given[givenCount++] = subset;
        bool dominated = false;
        for (int j = 0; j < nd && !dominated; ++j) {
            dominated = cube.each([&](std::uint32_t w, Word pattern) {
                ++work_;
                return (d[j][w] & pattern) == pattern;
            });
        }
        if (!dominated) found(care | fixed, one | (first & fixed), take);
    }
}

}  // namespace qm5::fast
