#pragma once
// The 64-bit masks the painters work with: the positions of a word (or
// the children of a node) that six position digits allow, a byte mask per
// bit, bit counts that need no popcount instruction, and the walk over the
// values a cube's free digits take.

#include <array>
#include <bit>
#include <cstdint>

namespace qm5::position_masks {

inline constexpr int kLevelDigits = 6;  // children of a node, positions of a word: 64
inline constexpr std::uint64_t kAll = ~std::uint64_t{0};

// The children k (0 .. 63) of a node whose digits, restricted to three of
// them, match care and value: the low three digits (a pattern repeated in
// every byte) and the high three (whole bytes). Index (care << 3) | value.
constexpr std::array<std::uint64_t, 64> lowDigitTable() {
    std::array<std::uint64_t, 64> t{};
    for (unsigned care = 0; care < 8; ++care) {
        for (unsigned value = 0; value < 8; ++value) {
            std::uint64_t byte = 0;
            for (unsigned k = 0; k < 8; ++k) {
                if ((k & care) == (value & care)) byte |= std::uint64_t{1} << k;
            }
            t[care << 3 | value] = byte * 0x0101010101010101u;
        }
    }
    return t;
}
constexpr std::array<std::uint64_t, 64> highDigitTable() {
    std::array<std::uint64_t, 64> t{};
    for (unsigned care = 0; care < 8; ++care) {
        for (unsigned value = 0; value < 8; ++value) {
            std::uint64_t mask = 0;
            for (unsigned j = 0; j < 8; ++j) {
                if ((j & care) == (value & care)) mask |= std::uint64_t{0xFF} << (8 * j);
            }
            t[care << 3 | value] = mask;
        }
    }
    return t;
}
inline constexpr std::array<std::uint64_t, 64> kLowDigits = lowDigitTable();
inline constexpr std::array<std::uint64_t, 64> kHighDigits = highDigitTable();

// Children of a node (or positions of a word) that six digits allow.
inline std::uint64_t childMask(std::uint64_t care, std::uint64_t value) {
    return kLowDigits[(care & 7) << 3 | (value & 7)] & kHighDigits[((care >> 3) & 7) << 3 | ((value >> 3) & 7)];
}

// Bit i of an 8-bit mask as byte i of a word, all ones.
constexpr std::array<std::uint64_t, 256> byteMaskTable() {
    std::array<std::uint64_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        for (unsigned i = 0; i < 8; ++i) {
            if ((m >> i) & 1) t[m] |= std::uint64_t{0xFF} << (8 * i);
        }
    }
    return t;
}
inline constexpr std::array<std::uint64_t, 256> kByteMask = byteMaskTable();

// Positions of a word (or children of a node) that six digits with these
// care bits allow: 2^(free digits).
constexpr std::array<int, 64> groupSizeTable() {
    std::array<int, 64> t{};
    for (unsigned care = 0; care < 64; ++care) t[care] = 64 >> std::popcount(care);
    return t;
}
inline constexpr std::array<int, 64> kGroupSize = groupSizeTable();

// The set bits of v, without relying on a popcount instruction that the
// baseline of every target lacks.
inline int bitCount(std::uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555u);
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<int>((v * 0x0101010101010101u) >> 56);
}

// Set bits of a 12-bit value: the word digits of a picture's at most 28
// position bits counted in two look-ups, where counting them bit-parallel
// took a tenth of painting from the top.
constexpr std::array<std::uint8_t, 4096> bitCountTable() {
    std::array<std::uint8_t, 4096> t{};
    for (unsigned v = 0; v < 4096; ++v) t[v] = static_cast<std::uint8_t>(std::popcount(v));
    return t;
}
inline constexpr std::array<std::uint8_t, 4096> kBitCount12 = bitCountTable();

// The word digits (position digits 6 .. 29) that free leaves free.
inline int wordDigitCount(std::uint64_t free) {
    return kBitCount12[(free >> kLevelDigits) & 4095] + kBitCount12[(free >> (kLevelDigits + 12)) & 4095];
}

// op(base | s) for s over the subsets of free in increasing order; with
// Clip, only while base | s < end.
template <bool Clip, class Op>
inline void forEachSubset(std::uint64_t base, std::uint64_t free, std::uint64_t end, Op op) {
    std::uint64_t s = 0;
    do {
        const std::uint64_t i = base | s;
        if constexpr (Clip) {
            if (i >= end) return;
        }
        op(i);
        s = (s - free) & free;
    } while (s != 0);
}

// op(start, d) for the same positions: with three digits or more free,
// each step of the walk over the others hands over the eight that the
// lowest three allow as start + d, the d held in registers, so that the
// walk's own chain of steps (s - free, & free) is paid once per eight. A
// clipped walk stops at the first step that reaches end, giving what lies
// before it: every later step lies above it.
template <bool Clip, class Op>
inline void forEachSubsetByEights(std::uint64_t base, std::uint64_t free, std::uint64_t end, Op op) {
    const std::uint64_t twoCleared = free & (free - 1) & ((free & (free - 1)) - 1);
    if (twoCleared == 0) {  // fewer than three digits free
        forEachSubset<Clip>(base, free, end, [&](std::uint64_t i) { op(i, 0); });
        return;
    }
    std::uint64_t rest = free;
    const std::uint64_t d0 = rest & (~rest + 1);
    rest ^= d0;
    const std::uint64_t d1 = rest & (~rest + 1);
    rest ^= d1;
    const std::uint64_t d2 = rest & (~rest + 1);
    rest ^= d2;
    const std::uint64_t d01 = d0 | d1, d02 = d0 | d2, d12 = d1 | d2, d012 = d01 | d2;
    std::uint64_t s = 0;
    do {
        const std::uint64_t start = base | s;
        if (Clip && (start | d012) >= end) {
            forEachSubset<true>(start, d012, end, [&](std::uint64_t i) { op(i, 0); });
            return;
        }
        op(start, 0);
        op(start, d0);
        op(start, d1);
        op(start, d01);
        op(start, d2);
        op(start, d02);
        op(start, d12);
        op(start, d012);
        s = (s - rest) & rest;
    } while (s != 0);
}

}  // namespace qm5::position_masks
