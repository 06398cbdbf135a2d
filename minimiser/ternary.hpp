#pragma once
// Ternary arrays over the 3^n cubes of n position bits. A cube is the
// ternary number x = sum d_i * 3^i with digit d_i = 0 (bit i must be 0),
// 1 (must be 1) or 2 (free); an array holds one element per cube, built
// from the 2^n cubes without a free digit (free = the two cubes with that
// digit 0 and 1 combined) and pruned (an element is cleared or marked where
// a one-digit widening holds the same). Building is the Quine-McCluskey
// merge (prime_cover.hpp) done for every cube at once, and pruning leaves
// the prime implicants.
//
// Built and pruned block by block: a block is 3^j consecutive cubes (the j
// lowest digits), small enough for the cache; the digits above a block are
// done over the whole array in long runs. A prime of the set is then a cube
// that pruning left standing.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/heap_array.hpp"
#include "minimiser/limits.hpp"
#include "minimiser/scheduler.hpp"

namespace qm5::fast {

inline constexpr std::array<std::uint64_t, 41> kPow3 = [] {
    std::array<std::uint64_t, 41> p{};
    p[0] = 1;
    for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 3;
    return p;
}();

// sum of 3^k over the set bits k of x: where a cube with digits 0/1 only sits.
std::uint64_t ternaryOfBinary(std::uint64_t x);

struct CareOne {
    std::uint32_t care = 0;  // zero mask | one mask
    std::uint32_t one = 0;
};

// The masks of the cube with ternary number x over n digits.
CareOne ternaryMasks(std::uint64_t x, int n);

// ---------------------------------------------------------------------------
// Per-cube operations: a Policy gives the element type E and how a free digit
// combines two elements (expand) and how a widening prunes a cube (prune,
// prunePattern). RankPolicy is the table engine's (slab_engine.cpp).

// The highest rank among the cube's positions; pruning turns every cube
// that a widening of the same value contains into the all-ones mark. A rank
// equal to the mark is the last palette index, which is always whole.
template <class T>
struct RankPolicy {
    using E = T;
    static constexpr E kMark = static_cast<E>(~E{0});
    static E expand(E a, E b) { return a < b ? b : a; }
    static E prune(E narrow, E wide) { return static_cast<E>(narrow | static_cast<E>(-E{narrow == wide})); }
    static E prunePattern(E t, E w1, E w2, E m0, E m1) {
        const E hit = static_cast<E>((static_cast<E>(-E{t == w2}) & m0) | (static_cast<E>(-E{t == w1}) & m1));
        return static_cast<E>(t | hit);
    }
};

// Digit masks for the three lowest digits of 432 = 16 * 27 consecutive
// cubes: m0 is all ones where the digit is 0, m1 where it is 1. 432 is a
// whole number of the digits' period 27, and of 16 so that the loops over
// a chunk run in whole vector widths.
template <class E>
struct DigitPatterns {
    static constexpr std::size_t kPeriod = 432;
    std::array<std::array<E, kPeriod>, 3> m0{};
    std::array<std::array<E, kPeriod>, 3> m1{};
    constexpr DigitPatterns() {
        for (std::size_t v = 0; v < 3; ++v) {
            const std::size_t s = v == 0 ? 1 : v == 1 ? 3 : 9;
            for (std::size_t x = 0; x < kPeriod; ++x) {
                const std::size_t d = x / s % 3;
                m0[v][x] = d == 0 ? static_cast<E>(~E{0}) : E{0};
                m1[v][x] = d == 1 ? static_cast<E>(~E{0}) : E{0};
            }
        }
    }
};

// Digits per cache block: at least 3 (the three lowest digits live in
// aligned groups of 27), as many as keep a block within kCacheBlockBytes.
inline int chooseBlockVars(int vars, std::size_t elementSize, int wanted) {
    int j = 3;
    if (wanted > 0) {
        j = std::max(3, wanted);
    } else {
        while (j + 1 <= vars && kPow3[static_cast<std::size_t>(j + 1)] * elementSize <= kCacheBlockBytes) ++j;
    }
    return std::min(j, vars);
}

// 3^n cubes over caller's storage of at least storageFor(n) elements, built
// from the 2^n cubes without free digit. Elements past 3^n are padding.
template <class Policy>
class TernaryView {
public:
    using E = typename Policy::E;
    static constexpr std::uint64_t kPad = 64;
    static std::uint64_t storageFor(int vars) { return kPow3[static_cast<std::size_t>(vars)] + kPad; }

    TernaryView() = default;
    TernaryView(E* data, int vars, int wantedBlockVars)
        : data_(data), vars_(vars), blockVars_(chooseBlockVars(vars, sizeof(E), wantedBlockVars)) {}

    E* data() { return data_; }
    const E* data() const { return data_; }
    int vars() const { return vars_; }
    std::uint64_t size() const { return kPow3[static_cast<std::size_t>(vars_)]; }
    std::uint64_t blockSize() const { return kPow3[static_cast<std::size_t>(blockVars_)]; }
    std::uint64_t blockCount() const { return kPow3[static_cast<std::size_t>(vars_ - blockVars_)]; }

    // load(r): the element of the cube without free digit whose bits are r.
    template <class Load>
    void build(const Load& load, unsigned threads);

    // Leaves an element set / unmarked only where no one-digit widening
    // holds the same; then after(part, blockIndex, block, length) runs for
    // every block, on the thread of its part: parts = threads, split as
    // parallelParts(threads, blockCount()) splits (one block when vars < 3).
    template <class After>
    void prune(unsigned threads, const After& after);

private:
    static void initGroup(E* g, const E in[8]);
    void pruneBlock(E* block) const;

    E* data_ = nullptr;
    int vars_ = 0;
    int blockVars_ = 0;
};

template <class Policy>
void TernaryView<Policy>::initGroup(E* g, const E in[8]) {
    for (int d2 = 0; d2 < 2; ++d2) {
        for (int d1 = 0; d1 < 2; ++d1) {
            for (int d0 = 0; d0 < 2; ++d0) g[d0 + 3 * d1 + 9 * d2] = in[d0 + 2 * d1 + 4 * d2];
            const int base = 3 * d1 + 9 * d2;
            g[base + 2] = Policy::expand(g[base], g[base + 1]);
        }
        for (int d0 = 0; d0 < 3; ++d0) g[d0 + 6 + 9 * d2] = Policy::expand(g[d0 + 9 * d2], g[d0 + 3 + 9 * d2]);
    }
    for (int k = 0; k < 9; ++k) g[18 + k] = Policy::expand(g[k], g[9 + k]);
}

// Slightly over 60 lines: the tiny case, the blocks in cache and the digits
// above them are the three steps of one build.
template <class Policy>
template <class Load>
void TernaryView<Policy>::build(const Load& load, unsigned threads) {
    const int n = vars_;
    E* v = data_;
    if (n < 3) {
        // Tiny: each cube from its lowest free digit, in ascending order.
        for (std::uint64_t x = 0; x < size(); ++x) {
            std::uint64_t rest = x;
            int i = 0;
            while (i < n && rest % 3 != 2) {
                rest /= 3;
                ++i;
            }
            if (i == n) {
                std::uint64_t r = 0;
                std::uint64_t t = x;
                for (int k = 0; k < n; ++k, t /= 3) r |= (t % 3) << k;
                v[x] = load(r);
            } else {
                v[x] = Policy::expand(v[x - 2 * kPow3[static_cast<std::size_t>(i)]], v[x - kPow3[static_cast<std::size_t>(i)]]);
            }
        }
        return;
    }
    const int j0 = blockVars_;
    const std::uint64_t bs = blockSize();
    // Blocks whose higher digits are 0/1: expand the low digits in cache.
    parallelParts(threads, std::uint64_t{1} << (n - j0), [&](unsigned, std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t qb = begin; qb < end; ++qb) {
            E* block = v + ternaryOfBinary(qb) * bs;
            const std::uint64_t rBase = qb << j0;
            for (std::uint64_t g = 0; g < (std::uint64_t{1} << (j0 - 3)); ++g) {
                E in[8];
                for (std::uint64_t s = 0; s < 8; ++s) in[s] = load(rBase | (g << 3) | s);
                initGroup(block + ternaryOfBinary(g) * 27, in);
            }
            for (int i = 3; i < j0; ++i) {
                const std::uint64_t s = kPow3[static_cast<std::size_t>(i)];
                for (std::uint64_t h = 0; h < (std::uint64_t{1} << (j0 - i - 1)); ++h) {
                    E* dst = block + ternaryOfBinary(h) * 3 * s + 2 * s;
                    const E* a = dst - 2 * s;
                    const E* b = dst - s;
                    for (std::uint64_t lo = 0; lo < s; ++lo) dst[lo] = Policy::expand(a[lo], b[lo]);
                }
            }
        }
    });
    // The digits above the block, one at a time over the whole array.
    for (int i = j0; i < n; ++i) {
        const std::uint64_t s = kPow3[static_cast<std::size_t>(i)];
        const std::uint64_t groups = std::uint64_t{1} << (n - i - 1);
        parallelParts(threads, groups * s, [&](unsigned, std::uint64_t begin, std::uint64_t end) {
            std::uint64_t idx = begin;
            while (idx < end) {
                const std::uint64_t h = idx / s;
                const std::uint64_t lo = idx % s;
                const std::uint64_t len = std::min(s - lo, end - idx);
                E* dst = v + ternaryOfBinary(h) * 3 * s + 2 * s + lo;
                const E* a = dst - 2 * s;
                const E* b = dst - s;
                for (std::uint64_t k = 0; k < len; ++k) dst[k] = Policy::expand(a[k], b[k]);
                idx += len;
            }
        });
    }
}

template <class Policy>
void TernaryView<Policy>::pruneBlock(E* block) const {
    const std::uint64_t bs = blockSize();
    for (int i = 3; i < blockVars_; ++i) {
        const std::uint64_t s = kPow3[static_cast<std::size_t>(i)];
        for (std::uint64_t base = 0; base < bs; base += 3 * s) {
            E* p0 = block + base;
            E* p1 = p0 + s;
            const E* p2 = p0 + 2 * s;
            for (std::uint64_t lo = 0; lo < s; ++lo) {
                p0[lo] = Policy::prune(p0[lo], p2[lo]);
                p1[lo] = Policy::prune(p1[lo], p2[lo]);
            }
        }
    }
    // The three lowest digits stay inside aligned groups of 27, so chunks of
    // the pattern period are independent; within a chunk each digit reads
    // only wider cubes, which that digit's loop never writes.
    static constexpr DigitPatterns<E> kPatterns{};
    constexpr std::size_t kPeriod = DigitPatterns<E>::kPeriod;
    for (std::uint64_t c = 0; c < bs; c += kPeriod) {
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(kPeriod, bs - c));
        E* p = block + c;
        auto digit = [&](std::size_t var, auto stride) {
            constexpr std::size_t s = decltype(stride)::value;
            const E* m0 = kPatterns.m0[var].data();
            const E* m1 = kPatterns.m1[var].data();
            // The last 2s cubes of the chunk would read past it: done one by one.
            const std::size_t body = len - 2 * s;
            for (std::size_t x = 0; x < body; ++x) p[x] = Policy::prunePattern(p[x], p[x + s], p[x + 2 * s], m0[x], m1[x]);
            for (std::size_t x = body; x < len; ++x) {
                const std::size_t d = x / s % 3;
                if (d != 2) p[x] = Policy::prune(p[x], p[x + (2 - d) * s]);
            }
        };
        digit(0, std::integral_constant<std::size_t, 1>{});
        digit(1, std::integral_constant<std::size_t, 3>{});
        digit(2, std::integral_constant<std::size_t, 9>{});
    }
}

template <class Policy>
template <class After>
void TernaryView<Policy>::prune(unsigned threads, const After& after) {
    const int n = vars_;
    E* v = data_;
    if (n < 3) {
        for (int i = 0; i < n; ++i) {
            const std::uint64_t s = kPow3[static_cast<std::size_t>(i)];
            for (std::uint64_t x = 0; x < size(); ++x) {
                if ((x / s) % 3 != 2) v[x] = Policy::prune(v[x], v[x + (2 - (x / s) % 3) * s]);
            }
        }
        (void)threads;
        after(0u, std::uint64_t{0}, v, size());
        return;
    }
    for (int i = blockVars_; i < n; ++i) {
        const std::uint64_t s = kPow3[static_cast<std::size_t>(i)];
        parallelParts(threads, size() / 3, [&](unsigned, std::uint64_t begin, std::uint64_t end) {
            std::uint64_t idx = begin;
            while (idx < end) {
                const std::uint64_t t = idx / s;
                const std::uint64_t lo = idx % s;
                const std::uint64_t len = std::min(s - lo, end - idx);
                E* p0 = v + t * 3 * s + lo;
                E* p1 = p0 + s;
                const E* p2 = p0 + 2 * s;
                for (std::uint64_t k = 0; k < len; ++k) {
                    p0[k] = Policy::prune(p0[k], p2[k]);
                    p1[k] = Policy::prune(p1[k], p2[k]);
                }
                idx += len;
            }
        });
    }
    const std::uint64_t bs = blockSize();
    parallelParts(threads, blockCount(), [&](unsigned part, std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t q = begin; q < end; ++q) {
            pruneBlock(v + q * bs);
            after(part, q, v + q * bs, bs);
        }
    });
}

}  // namespace qm5::fast
