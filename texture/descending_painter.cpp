#include "texture/descending_painter.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "texture/position_masks.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

using namespace position_masks;

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

// Runs of 2^K positions from base | s, s over the subsets of free: stores
// of a fixed width, no loads. Walking the subsets one by one ties every
// store to the step before it (s - free, & free); with three digits or
// more free, each step of the walk over the others stores the eight runs
// that the lowest three allow, at offsets held in registers (from an
// array they would be loads, which the stores around them slow down:
// measured slower than the plain walk). A clipped cube, which must stop at
// the picture's end, does so too while its eight runs all start before
// the end: every later step's runs start above the last of these, so the
// step that reaches the end paints what starts before it and is the last.
template <class Cell, bool Clip, int K>
void paintShortRuns(Cell* cells, std::uint64_t base, std::uint64_t free, std::uint64_t pixelCount, Cell value) {
    constexpr std::size_t kRun = std::size_t{1} << K;
    const std::uint64_t twoCleared = free & (free - 1) & ((free & (free - 1)) - 1);
    if (twoCleared == 0) {  // fewer than three digits free
        forEachSubset<Clip>(base, free, pixelCount,
                            [&](std::uint64_t start) { std::fill_n(cells + start, kRun, value); });
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
        if (Clip && (start | d012) >= pixelCount) {
            forEachSubset<true>(start, d012, pixelCount,
                                [&](std::uint64_t at) { std::fill_n(cells + at, kRun, value); });
            return;
        }
        Cell* const at = cells + start;
        std::fill_n(at, kRun, value);
        std::fill_n(at + d0, kRun, value);
        std::fill_n(at + d1, kRun, value);
        std::fill_n(at + d01, kRun, value);
        std::fill_n(at + d2, kRun, value);
        std::fill_n(at + d02, kRun, value);
        std::fill_n(at + d12, kRun, value);
        std::fill_n(at + d012, kRun, value);
        s = (s - rest) & rest;
    } while (s != 0);
}

// Runs of 2^k positions (k >= 6).
template <class Cell, bool Clip>
void paintLongRuns(Cell* cells, std::uint64_t base, std::uint64_t free, int k, std::uint64_t pixelCount, Cell value) {
    const std::uint64_t run = std::uint64_t{1} << k;
    forEachSubset<Clip>(base, free, pixelCount, [&](std::uint64_t start) {
        std::fill_n(cells + start, Clip ? std::min(run, pixelCount - start) : run, value);
    });
}

// The positions one | s, s over the subsets of free, as runs of 2^k.
template <class Cell, bool Clip>
void paintRuns(Cell* cells, std::uint64_t one, std::uint64_t free, int k, std::uint64_t pixelCount, Cell value) {
    const std::uint64_t starts = free & (free + 1);  // its k low digits, all free, cleared
    // Most cubes fix the lowest digit: a branch the processor foretells
    // well, before the jump through the table.
    if (k == 0) {
        paintShortRuns<Cell, Clip, 0>(cells, one, starts, pixelCount, value);
        return;
    }
    switch (k) {
        case 1: paintShortRuns<Cell, Clip, 1>(cells, one, starts, pixelCount, value); break;
        case 2: paintShortRuns<Cell, Clip, 2>(cells, one, starts, pixelCount, value); break;
        case 3: paintShortRuns<Cell, Clip, 3>(cells, one, starts, pixelCount, value); break;
        case 4: paintShortRuns<Cell, Clip, 4>(cells, one, starts, pixelCount, value); break;
        case 5: paintShortRuns<Cell, Clip, 5>(cells, one, starts, pixelCount, value); break;
        default: paintLongRuns<Cell, Clip>(cells, one, starts, k, pixelCount, value); break;
    }
}

// A cube's work: a unit per run of 2^k positions it is painted as (k its
// low free digits), or per 64 positions of runs of 64 and more. That is
// 2^(w + f - min(k, 6)) units for a cube that leaves w word digits and f
// of the six lowest digits free: kRunShift[care & 63] holds f - min(k, 6).
constexpr std::array<std::uint8_t, 64> runShiftTable() {
    std::array<std::uint8_t, 64> t{};
    for (unsigned care = 0; care < 64; ++care) {
        const int f = 6 - std::popcount(care);
        t[care] = static_cast<std::uint8_t>(care == 0 ? 0 : f - std::countr_zero(care));
    }
    return t;
}
constexpr std::array<std::uint8_t, 64> kRunShift = runShiftTable();

// Set bits of a 12-bit value: the word digits of a picture's at most 28
// position bits counted in two look-ups, where counting them bit-parallel
// (there is no popcount instruction in the baseline of every target) took
// a tenth of the painting.
constexpr std::array<std::uint8_t, 4096> bitCountTable() {
    std::array<std::uint8_t, 4096> t{};
    for (unsigned v = 0; v < 4096; ++v) t[v] = static_cast<std::uint8_t>(std::popcount(v));
    return t;
}
constexpr std::array<std::uint8_t, 4096> kBitCount12 = bitCountTable();

// The word digits (position digits 6 .. 29) that free leaves free.
inline int wordDigitCount(std::uint64_t free) {
    return kBitCount12[(free >> kLevelDigits) & 4095] + kBitCount12[(free >> (kLevelDigits + 12)) & 4095];
}

std::uint64_t runUnits(std::uint64_t care, int wordBits) {
    return std::uint64_t{1} << (wordBits + kRunShift[care & 63]);
}

// Whether painting from the top pays, judged on every kSampleStride-th
// cube. Its work per cube against the record painter's: a cube costs the
// record painter about as much as 40 to 100 of these units where it
// paints (a cover of few cubes, each painting somewhere), less where most
// cubes lie in what lower colours painted before; the descending path
// pays a few units per cube of its own. Textures above the ratio are
// those whose high colours' cubes reach far into lower colours' positions
// (flat areas, dithered pictures with -c or large): painting them in full
// costs more than looking at what is painted. A texture whose sample
// foretells more work than the path may do is not begun either.
constexpr std::uint64_t kSampleStride = 16;
constexpr std::uint64_t kMaxUnitsPerCube = 56;

bool cheapEnough(std::span<const RecordData> records, int bits, std::uint64_t digits, std::uint64_t maxWork) {
    std::uint64_t cubes = 0, units = 0;
    std::uint64_t i = 0;  // the next cube sampled, counted from the record's first
    for (const RecordData& r : records) {
        const std::uint64_t n = cubeCountOf(r.length, bits);
        for (; i < n; i += kSampleStride) {
            const CubeMasks cube = readCube({r.data, r.length}, bits, i);
            const std::uint64_t care = std::uint64_t{cube.zero} | cube.one | ~digits;
            ++cubes;
            units += runUnits(care, wordDigitCount(~care & digits));
        }
        i -= n;
    }
    return units <= kMaxUnitsPerCube * cubes && units <= maxWork / kSampleStride;
}

}  // namespace

template <class Cell>
bool paintDescending(std::span<const RecordData> records, Cell whole, std::uint64_t pixelCount, Cell* cells,
                     const DescendingBounds& bounds, HeapArray<std::uint8_t>& scratch) {
    const int bits = positionBitCount(pixelCount);
    if (pixelCount == 0 || 2 * bits + 7 > 64) return false;
    std::uint32_t longest = 0;
    for (const RecordData& r : records) {
        if (r.length != 0 && r.bits != bits) return false;
        longest = std::max(longest, r.length);
    }
    const std::uint64_t digits = (std::uint64_t{1} << bits) - 1;
    if (!cheapEnough(records, bits, digits, bounds.maxWork) || !scratch.makeRoom(std::uint64_t{longest} + 8)) return false;
    const std::uint64_t words = (pixelCount + 63) >> kLevelDigits;
    const std::uint64_t levels = static_cast<std::uint64_t>(std::max(1, (std::max(bits - 6, 0) + 5) / 6));
    const std::uint64_t perWord = std::max<std::uint64_t>(levels, 2);
    // The record painter's walk of the whole record takes a step per word
    // and per node at most, and a cube that leaves w word digits free at
    // most L + perWord 2^w steps more; here the cube is 2^w units of work
    // or more. So the steps stay within the walk's, L a cube and perWord a
    // unit of work: the work's bound is lowered to keep that within the
    // steps' bound, and the steps need no counting cube by cube (a texture
    // that declines for it is painted by the record painter, to the same
    // pixels, within the same bound).
    const std::uint64_t steps = 2 * words + levels;
    std::uint64_t cubes = 0;
    for (const RecordData& r : records) cubes += cubeCountOf(r.length, bits);
    if (steps > bounds.maxSteps || cubes > (bounds.maxSteps - steps) / levels) return false;
    const std::uint64_t maxWork = std::min(bounds.maxWork, (bounds.maxSteps - steps - levels * cubes) / perWord);
    std::uint64_t work = 0;
    std::fill_n(cells, pixelCount, whole);
    const std::uint64_t low = digits;
    const std::uint64_t width = 2 * static_cast<std::uint64_t>(bits);
    std::uint8_t* const reversed = scratch.data();
    for (std::size_t c = records.size(); c-- > 0;) {
        const RecordData& r = records[c];
        if (r.length == 0) continue;
        const Cell value = static_cast<Cell>(c);
        reverseBitsOfBytes({r.data, r.length}, reversed);
        const std::uint64_t n = cubeCountOf(r.length, bits);
        // The unit of every cube of the record counted at once, before the
        // first: the work is never less than counting cube by cube.
        work += n;
        for (std::uint64_t at = 0, end = n * width; at != end; at += width) {
            const std::uint64_t cube = cubeAt(reversed, at, bits);
            const std::uint64_t one = cube & low;
            const std::uint64_t zero = (cube >> bits) & low;
            // A cube with a bit in both masks covers nothing; one with both
            // masks zero is padding (see CubeMasks).
            if ((zero & one) != 0 || (zero | one) == 0) continue;
            const std::uint64_t care = zero | one | ~digits;
            const std::uint64_t free = ~care;
            work += runUnits(care, wordDigitCount(free));
            if (work > maxWork) return false;
            const int k = std::countr_zero(care);
            if ((one | free) >= pixelCount) {
                paintRuns<Cell, true>(cells, one, free, k, pixelCount, value);
            } else {
                paintRuns<Cell, false>(cells, one, free, k, pixelCount, value);
            }
        }
    }
    return true;
}

template bool paintDescending<std::uint8_t>(std::span<const RecordData>, std::uint8_t, std::uint64_t, std::uint8_t*,
                                            const DescendingBounds&, HeapArray<std::uint8_t>&);
template bool paintDescending<std::uint16_t>(std::span<const RecordData>, std::uint16_t, std::uint64_t,
                                             std::uint16_t*, const DescendingBounds&, HeapArray<std::uint8_t>&);

}  // namespace qm5
