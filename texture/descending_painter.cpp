#include "texture/descending_painter.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "texture/position_masks.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

using namespace position_masks;

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
    forEachSubsetByEights<Clip>(base, free, pixelCount, [&](std::uint64_t start, std::uint64_t d) {
        std::fill_n(cells + start + d, kRun, value);
    });
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

std::uint64_t runUnits(std::uint64_t care, int wordBits) {
    return std::uint64_t{1} << (wordBits + kRunShift[care & 63]);
}

// Which path pays, judged on every kSampleStride-th cube. Painting from
// the top costs a unit per run it stores, and a cube costs the record
// painter about as much as 40 to 100 of those where it paints (a cover of
// few cubes, each painting somewhere), less where most cubes lie in what
// lower colours painted before. Painting by masks costs an OR per word of
// each cube, and per record a pass over the words it reached and a store
// per position it paints. Where cubes are small and paint somewhere (a
// minimal cover), the runs of a cube are about its words: painting from
// the top stores each once and nothing else, and wins. Where they overlap
// (high colours reaching into lower colours' positions: -c, dithered or
// flat pictures), runs outgrow words, and the masks win from about 2.4
// runs a word, unless the words alone pass kMaxWordsPerPixel a pixel (a
// dithered picture with -c, of several cubes to a pixel): there the record
// painter, which skips what is complete, costs less. Past kMaxUnitsPerCube
// runs a cube, painting from the top costs more than the record painter.
// A path whose sample foretells more work than it may do is not begun.
constexpr std::uint64_t kSampleStride = 16;
constexpr std::uint64_t kMaxUnitsPerCube = 56;
constexpr std::uint64_t kMaxWordsPerPixel = 32;

struct Sample {
    std::uint64_t cubes = 0;
    std::uint64_t runs = 0;   // painting from the top: runUnits
    std::uint64_t words = 0;  // painting by masks: 2^w
    std::uint64_t maskWork = 0;  // and its work, 1 + max(2^w, 8)
};

Sample sampleCubes(std::span<const RecordData> records, int bits, std::uint64_t digits) {
    Sample sample;
    std::uint64_t i = 0;  // the next cube sampled, counted from the record's first
    for (const RecordData& r : records) {
        const std::uint64_t n = cubeCountOf(r.length, bits);
        for (; i < n; i += kSampleStride) {
            const CubeMasks cube = readCube({r.data, r.length}, bits, i);
            const std::uint64_t care = std::uint64_t{cube.zero} | cube.one | ~digits;
            const int w = wordDigitCount(~care & digits);
            ++sample.cubes;
            sample.runs += runUnits(care, w);
            sample.words += std::uint64_t{1} << w;
            sample.maskWork += 1 + (std::uint64_t{1} << std::max(w, 3));
        }
        i -= n;
    }
    return sample;
}

}  // namespace

bool planWholeFirst(std::span<const RecordData> records, std::uint64_t pixelCount, const DescendingBounds& bounds,
                    WholeFirstPlan& plan, HeapArray<std::uint8_t>& scratch) {
    const int bits = positionBitCount(pixelCount);
    if (pixelCount == 0 || 2 * bits + 7 > 64) return false;
    std::uint32_t longest = 0;
    for (const RecordData& r : records) {
        if (r.length != 0 && r.bits != bits) return false;
        longest = std::max(longest, r.length);
    }
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
    plan.bits = bits;
    plan.maxWork = std::min(bounds.maxWork, (bounds.maxSteps - steps - levels * cubes) / perWord);
    return scratch.makeRoom(std::uint64_t{longest} + 8);
}

WholeFirstPath chooseWholeFirstPath(std::span<const RecordData> records, std::uint64_t pixelCount,
                                    std::uint64_t maxWork) {
    const int bits = positionBitCount(pixelCount);
    if (pixelCount == 0 || 2 * bits + 7 > 64) return WholeFirstPath::none;
    const Sample sample = sampleCubes(records, bits, (std::uint64_t{1} << bits) - 1);
    if (5 * sample.runs >= 12 * sample.words && sample.words <= kMaxWordsPerPixel * pixelCount / kSampleStride &&
        sample.maskWork <= maxWork / kSampleStride) {
        return WholeFirstPath::masks;
    }
    if (sample.runs <= kMaxUnitsPerCube * sample.cubes && sample.runs <= maxWork / kSampleStride) {
        return WholeFirstPath::descending;
    }
    return WholeFirstPath::none;
}

template <class Cell>
bool paintDescending(std::span<const RecordData> records, Cell whole, std::uint64_t pixelCount, Cell* cells,
                     const DescendingBounds& bounds, HeapArray<std::uint8_t>& scratch) {
    WholeFirstPlan plan;
    if (!planWholeFirst(records, pixelCount, bounds, plan, scratch)) return false;
    const int bits = plan.bits;
    const std::uint64_t digits = (std::uint64_t{1} << bits) - 1;
    const std::uint64_t maxWork = plan.maxWork;
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
