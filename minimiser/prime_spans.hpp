#pragma once
// PrimeSearch::spans, included at the end of prime_search.hpp.

#include <array>
#include <bit>
#include <cstdint>

namespace qm5::fast {

// For n = 0 .. kSpanPoints, the non-empty subsets of n points by size
// descending and, within a size, by value descending: the order in which
// spans() visits them.
inline constexpr auto kSubsetsLargestFirst = [] {
    constexpr int most = PrimeSearch::kSpanPoints;
    std::array<std::array<std::uint8_t, (1u << most) - 1>, most + 1> order{};
    for (int n = 0; n <= most; ++n) {
        std::size_t at = 0;
        for (int size = n; size >= 1; --size) {
            for (unsigned subset = (1u << n) - 1; subset > 0; --subset) {
                if (std::popcount(subset) == size) order[n][at++] = static_cast<std::uint8_t>(subset);
            }
        }
    }
    return order;
}();

// Bit s of kSubsetsOf[g] tells whether subset s lies in subset g.
inline constexpr auto kSubsetsOf = [] {
    std::array<std::uint64_t, 1u << PrimeSearch::kSpanPoints> inside{};
    for (unsigned g = 0; g < inside.size(); ++g) {
        for (unsigned s = 0; s < inside.size(); ++s) {
            if ((s & ~g) == 0) inside[g] |= std::uint64_t{1} << s;
        }
    }
    return inside;
}();

// The spans of the largest subsets of points (n of them, at most
// kSpanPoints, in a node over k bits with set s) that lie in s: subsets by
// size descending, each skipped when it lies in one found already; a span
// inside one of the dominance sets d[0 .. nd - 1] counts as found but is
// not given. The digits all points of a subset share, and the ones among
// them, come from those of the subset without its lowest point; the
// subsets of those found form one mask.
template <class Take>
void PrimeSearch::spans(int k, const Word* s, const Word* const* d, int nd, const std::uint32_t* points, int n,
                        std::uint32_t care, std::uint32_t one, const Take& take) {
    const std::uint32_t all = bitmap::lowBits(k);
    const unsigned subsets = (1u << n) - 1;
    std::uint32_t anyOf[1u << kSpanPoints];  // digits some point of the subset has at 1
    std::uint32_t allOf[1u << kSpanPoints];  // digits every point of the subset has at 1
    anyOf[0] = 0;
    allOf[0] = ~std::uint32_t{0};
    for (unsigned subset = 1; subset <= subsets; ++subset) {
        const std::uint32_t p = points[std::countr_zero(subset)];
        anyOf[subset] = anyOf[subset & (subset - 1)] | p;
        allOf[subset] = allOf[subset & (subset - 1)] & p;
    }
    std::uint64_t inside = 0;  // the subsets of those found
    for (unsigned i = 0; i < subsets; ++i) {
        const unsigned subset = kSubsetsLargestFirst[static_cast<std::size_t>(n)][i];
        if (((inside >> subset) & 1u) != 0) continue;
        const std::uint32_t fixed = all & ~(anyOf[subset] ^ allOf[subset]);
        const bitmap::CubeWords cube(k, fixed, allOf[subset] & fixed);
        const bool implicant = cube.each([&](std::uint32_t w, Word pattern) {
            ++work_;
            return (s[w] & pattern) == pattern;
        });
        if (!implicant) continue;
        inside |= kSubsetsOf[subset];
        bool dominated = false;
        for (int j = 0; j < nd && !dominated; ++j) {
            dominated = cube.each([&](std::uint32_t w, Word pattern) {
                ++work_;
                return (d[j][w] & pattern) == pattern;
            });
        }
        if (!dominated) found(care | fixed, one | (allOf[subset] & fixed), take);
    }
}

}  // namespace qm5::fast
