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

// For each subset x of kSpanPoints points, the subsets y with y inside x
// (Holding false) or y holding x (true), as one mask (bit y).
template <bool Holding>
inline constexpr auto kSubsetRelation = [] {
    std::array<std::uint64_t, 1u << PrimeSearch::kSpanPoints> related{};
    for (unsigned x = 0; x < related.size(); ++x) {
        for (unsigned y = 0; y < related.size(); ++y) {
            if ((Holding ? x & ~y : y & ~x) == 0) related[x] |= std::uint64_t{1} << y;
        }
    }
    return related;
}();
// Bit s of kSubsetsOf[g] tells whether subset s lies in subset g.
inline constexpr auto& kSubsetsOf = kSubsetRelation<false>;
// Bit t of kSupersetsOf[s] tells whether subset t holds subset s.
inline constexpr auto& kSupersetsOf = kSubsetRelation<true>;

// The spans of the largest subsets of points (n of them, at most
// kSpanPoints, in a node over k bits with set s) that lie in s; a span
// inside one of the dominance sets dominance(0 .. nd - 1) is not given. The
// span of a subset holds those of its subsets, so a subset with one whose
// span leaves s leaves it too. First the whole set, which where the points
// lie together is the one span found; then, by size ascending, each subset
// tried only when no subset of it is known to leave s (a point lies in s,
// the node's on points being in its set). Where the points lie apart, the
// pairs that leave s rule out most larger subsets untried: a subset found
// to leave s marks every subset holding it at once (kSupersetsOf), so those
// are not even visited. Last the largest of those inside s, by size
// descending and within a size by value descending, each skipped when it
// lies in one found already: as subsets of one size never lie in one
// another, the mask of the subsets of those found, taken once per size,
// leaves the subsets of that size to give.
template <class Take, class Dominance>
void PrimeSearch::spans(int k, const Word* s, const Dominance& dominance, int nd, const std::uint32_t* points,
                        int n, std::uint32_t care, std::uint32_t one, const Take& take) {
    const std::uint32_t all = bitmap::lowBits(k);
    const unsigned subsets = (1u << n) - 1;
    // The fixed digits of the span of subset, and those of them at 1: the
    // digits where its points agree. Made only for the subsets looked at.
    struct Span {
        std::uint32_t fixed;
        std::uint32_t ones;
    };
    auto spanOf = [&](unsigned subset) {
        std::uint32_t any = 0;
        std::uint32_t every = ~std::uint32_t{0};
        for (unsigned rest = subset; rest != 0; rest &= rest - 1) {
            const std::uint32_t p = points[std::countr_zero(rest)];
            any |= p;
            every &= p;
        }
        const std::uint32_t fixed = all & ~(any ^ every);
        return Span{fixed, every & fixed};
    };
    // Whether the span lies in the set at (s or a dominance set).
    auto inside = [&](const Span& span, const Word* at) {
        const std::uint32_t fixed = span.fixed;
        const std::uint32_t ones = span.ones;
        if (k <= 6) {
            // One word, as CubeWords makes it for a narrow cube.
            const Word pattern = bitmap::lowPattern(fixed | (0x3Fu & ~all), ones);
            ++work_;
            return (at[0] & pattern) == pattern;
        }
        return bitmap::CubeWords(k, fixed, ones).each([&](std::uint32_t w, Word pattern) {
            ++work_;
            return (at[w] & pattern) == pattern;
        });
    };
    std::uint64_t out = 0;  // subsets whose span leaves s, and those holding one
    if (n >= 2 && !inside(spanOf(subsets), s)) {
        out = std::uint64_t{1} << subsets;
        for (int size = 2; size < n; ++size) {
            std::uint64_t left = kSubsetsOfSize[static_cast<std::size_t>(n)][static_cast<std::size_t>(size)] & ~out;
            while (left != 0) {
                const auto subset = static_cast<unsigned>(std::countr_zero(left));
                left &= left - 1;
                if (!inside(spanOf(subset), s)) out |= kSupersetsOf[subset];
            }
        }
    }
    std::uint64_t given = 0;  // the subsets of those found
    for (int size = n; size >= 1; --size) {
        std::uint64_t left =
            kSubsetsOfSize[static_cast<std::size_t>(n)][static_cast<std::size_t>(size)] & ~out & ~given;
        while (left != 0) {
            const unsigned subset = 63u - static_cast<unsigned>(std::countl_zero(left));
            left &= ~(std::uint64_t{1} << subset);
            given |= kSubsetsOf[subset];
            const Span span = spanOf(subset);
            bool dominated = false;
            for (int j = 0; j < nd && !dominated; ++j) dominated = inside(span, dominance(j));
            if (!dominated) found(care | span.fixed, one | span.ones, take);
        }
    }
}

}  // namespace qm5::fast
