#pragma once
// PrimeSearch::spans, included at the end of prime_search.hpp.

#include <array>
#include <bit>
#include <cstdint>

namespace qm5::fast {

// For n = 0 .. kSpanPoints and each size, the subsets of n points of that
// size as one mask (bit s: subset s), for spans() to visit by size
// descending and, within a size, by value descending.
inline constexpr auto kSubsetsOfSize = [] {
    constexpr int most = PrimeSearch::kSpanPoints;
    std::array<std::array<std::uint64_t, most + 1>, most + 1> bySize{};
    for (int n = 0; n <= most; ++n) {
        for (unsigned subset = 1; subset < (1u << n); ++subset) {
            bySize[n][static_cast<std::size_t>(std::popcount(subset))] |= std::uint64_t{1} << subset;
        }
    }
    return bySize;
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
// not given. The subsets of those found form one mask; as subsets of one
// size never lie in one another, the mask, taken once per size, leaves the
// subsets of that size to try, found by their bits without a look at the
// others. Only those tried have their points' digits gathered.
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
    for (int size = n; size >= 1; --size) {
        std::uint64_t left = kSubsetsOfSize[static_cast<std::size_t>(n)][static_cast<std::size_t>(size)] & ~inside;
        while (left != 0) {
            const unsigned subset = 63u - static_cast<unsigned>(std::countl_zero(left));
            left &= ~(std::uint64_t{1} << subset);
            const std::uint32_t fixed = all & ~(anyOf[subset] ^ allOf[subset]);
            const std::uint32_t ones = allOf[subset] & fixed;
            bool implicant = false;
            bool dominated = false;
            if (k <= 6) {
                // One word, as CubeWords makes it for a narrow cube.
                const Word pattern = bitmap::lowPattern(fixed | (0x3Fu & ~all), ones);
                ++work_;
                implicant = (s[0] & pattern) == pattern;
                for (int j = 0; implicant && j < nd && !dominated; ++j) {
                    ++work_;
                    dominated = (d[j][0] & pattern) == pattern;
                }
            } else {
                const bitmap::CubeWords cube(k, fixed, ones);
                implicant = cube.each([&](std::uint32_t w, Word pattern) {
                    ++work_;
                    return (s[w] & pattern) == pattern;
                });
                for (int j = 0; implicant && j < nd && !dominated; ++j) {
                    dominated = cube.each([&](std::uint32_t w, Word pattern) {
                        ++work_;
                        return (d[j][w] & pattern) == pattern;
                    });
                }
            }
            if (!implicant) continue;
            inside |= kSubsetsOf[subset];
            if (!dominated) found(care | fixed, one | ones, take);
        }
    }
}

}  // namespace qm5::fast
