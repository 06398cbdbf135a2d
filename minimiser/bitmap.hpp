#pragma once
// Position bitmaps: bit p of word p >> 6 stands for pixel position p, for
// the 2^b positions of a colour (one word when b <= 6, its bits past 2^b
// kept 0). A cube's positions are found word by word: its six low digits
// give a pattern inside a word, its higher digits the words.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qm5::bitmap {

inline constexpr std::size_t wordsFor(int b) { return b <= 6 ? 1 : std::size_t{1} << (b - 6); }

inline constexpr std::uint32_t lowBits(int b) { return b >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << b) - 1; }

// The set bits of x. Written out (a few shifts and one multiply) because
// builds for the baseline instruction set turn std::popcount into a library
// call, several times slower in the cover's inner loops.
inline constexpr int ones(std::uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((x * 0x0101010101010101ull) >> 56);
}

// Two words at once, for the loops over sets that the compiler leaves a
// word at a time (their sums and early ends): the baseline vector unit of
// x86-64, one word elsewhere. Same bits either way.
#if defined(__SSE2__)
using Pair = std::uint64_t __attribute__((vector_size(16)));
inline std::uint64_t either(Pair v) { return v[0] | v[1]; }
#else
using Pair = std::uint64_t;
#endif
inline constexpr std::size_t kPairWords = sizeof(Pair) / sizeof(std::uint64_t);
inline std::uint64_t either(std::uint64_t v) { return v; }

template <class V>
inline V load(const std::uint64_t* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
inline void store(std::uint64_t* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// step(sums, i) for the words i of sets of n words (n a power of two), a
// pair at a time from two pairs up: step loads and stores through load<V> and
// store, V the type of sums' elements, and ors its answers into sums;
// returned, each sum's words or-ed together.
template <std::size_t N, class Step>
inline std::array<std::uint64_t, N> orSums(std::size_t n, const Step& step) {
    std::array<std::uint64_t, N> out{};
    if (n < 2 * kPairWords) {  // the sums' folding would cost more than pairs save
        for (std::size_t i = 0; i < n; ++i) step(out, i);
        return out;
    }
    std::array<Pair, N> sums{};
    for (std::size_t i = 0; i < n; i += kPairWords) step(sums, i);
    for (std::size_t j = 0; j < N; ++j) out[j] = either(sums[j]);
    return out;
}

inline void set(std::uint64_t* words, std::uint64_t p) { words[p >> 6] |= std::uint64_t{1} << (p & 63); }
inline bool test(const std::uint64_t* words, std::uint64_t p) { return ((words[p >> 6] >> (p & 63)) & 1u) != 0; }

// Bit j of kBitOf[i] is bit i of j: the positions 0 .. 63 of a word.
inline constexpr std::array<std::uint64_t, 6> kBitOf = {0xAAAAAAAAAAAAAAAAull, 0xCCCCCCCCCCCCCCCCull,
                                                        0xF0F0F0F0F0F0F0F0ull, 0xFF00FF00FF00FF00ull,
                                                        0xFFFF0000FFFF0000ull, 0xFFFFFFFF00000000ull};

// The positions j of one word that match three digits, from digit `from`
// (0 or 3) up, by (care << 3) | one: two tables of 512 bytes, so that they
// stay in the nearest cache beside the bitmaps.
template <unsigned from>
inline constexpr std::array<std::uint64_t, 64> kPatterns3 = [] {
    std::array<std::uint64_t, 64> t{};
    for (std::uint32_t care = 0; care < 8; ++care) {
        for (std::uint32_t one = 0; one < 8; ++one) {
            std::uint64_t pattern = ~std::uint64_t{0};
            for (unsigned i = 0; i < 3; ++i) {
                if ((care >> i) & 1u) pattern &= ((one >> i) & 1u) ? kBitOf[from + i] : ~kBitOf[from + i];
            }
            t[(care << 3) | one] = pattern;
        }
    }
    return t;
}();

// The positions j of one word that match six low digits.
inline std::uint64_t lowPattern(std::uint32_t care, std::uint32_t one) {
    return kPatterns3<0>[((care & 7u) << 3) | (one & 7u)] &
           kPatterns3<3>[(((care >> 3) & 7u) << 3) | ((one >> 3) & 7u)];
}

// The words of the cube (care mask, one mask) over b position bits.
class CubeWords {
public:
    CubeWords(int b, std::uint32_t care, std::uint32_t one) {
        const std::uint32_t all = lowBits(b);
        if (b <= 6) {
            // Bits b .. 5 of the word are no positions: held at digit 0.
            pattern_ = lowPattern(care | (0x3Fu & ~all), one);
        } else {
            pattern_ = lowPattern(care, one);
            base_ = one >> 6;
            highFree_ = ~(care >> 6) & (all >> 6);
        }
    }
    std::uint64_t pattern() const { return pattern_; }
    // How many words hold positions of the cube, and whether word w does.
    std::uint64_t wordCount() const { return std::uint64_t{1} << ones(highFree_); }
    bool holds(std::uint32_t w) const { return (w & ~highFree_) == base_; }

    // f(word, pattern) for every word holding positions of the cube, in
    // ascending order, while f returns true; false when f stopped it.
    template <class F>
    bool each(const F& f) const {
        std::uint32_t s = 0;
        do {
            if (!f(base_ | s, pattern_)) return false;
            s = (s - highFree_) & highFree_;
        } while (s != 0);
        return true;
    }

private:
    std::uint64_t pattern_ = 0;
    std::uint32_t base_ = 0;
    std::uint32_t highFree_ = 0;
};

}  // namespace qm5::bitmap
