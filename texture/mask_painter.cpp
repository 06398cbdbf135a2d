#include "texture/mask_painter.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "texture/position_masks.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

using namespace position_masks;

// Cubes that allow at most this many words are counted as this many.
constexpr std::uint64_t kSmallCubeWords = 8;
// Pictures of this many pixels and more have their byte cells blended
// (a map of 16 KB, half the nearest cache of common processors).
constexpr std::uint64_t kBlendFrom = std::uint64_t{1} << 14;

// masks[base | s] |= lanes for s over the subsets of free (with Clip, only
// where base | s < end). With three digits or more free, each step of the
// walk over the others ORs the eight words the lowest three allow, at
// offsets held in registers, so that the walk's own chain of steps is not
// paid word by word (as in painting from the top). A clipped cube stops at
// the first group that reaches the end: every later group lies above it.
template <bool Clip>
void orWords(std::uint64_t* masks, std::uint64_t base, std::uint64_t free, std::uint64_t lanes, std::uint64_t end) {
    forEachSubsetByEights<Clip>(base, free, end,
                                [&](std::uint64_t start, std::uint64_t d) { masks[start + d] |= lanes; });
}

// The positions fresh of the word whose cells start at at. Blended: byte
// cells in eight blends of eight, with no branch on how many positions
// are fresh, all 64 read and written back (past the picture's end into the
// slack).
template <class Cell, bool Blend>
inline void paintFresh(Cell* at, std::uint64_t fresh, Cell value) {
    if constexpr (Blend) {
        static_assert(sizeof(Cell) == 1);
        const std::uint64_t fill = 0x0101010101010101u * value;
        for (int j = 0; j < 8; ++j) {
            std::uint64_t bytes = kByteMask[(fresh >> (8 * j)) & 0xFF];
            if constexpr (std::endian::native == std::endian::big) bytes = byteSwapped(bytes);
            std::uint64_t v;
            std::memcpy(&v, at + 8 * j, 8);
            v = (v & ~bytes) | (fill & bytes);
            std::memcpy(at + 8 * j, &v, 8);
        }
        return;
    }
    if (fresh == kAll) {
        std::fill_n(at, 64, value);
        return;
    }
    for (; fresh != 0; fresh &= fresh - 1) at[std::countr_zero(fresh)] = value;
}

// The cubes of a record's data, reversed by reverseBitsOfBytes, ORed into
// mask (wordCount words, in groups of eight), a unit of work for each word
// of a cube past kSmallCubeWords; false once the work passes maxWork.
// first and last: the lowest and highest words the cubes reach.
inline bool gatherRecord(const std::uint8_t* reversed, std::uint64_t n, int bits, std::uint64_t* mask,
                         std::uint64_t wordCount, std::uint64_t maxWork, std::uint64_t& work, std::uint64_t& first,
                         std::uint64_t& last) {
    const std::uint64_t digits = (std::uint64_t{1} << bits) - 1;
    const std::uint64_t width = 2 * static_cast<std::uint64_t>(bits);
    for (std::uint64_t at = 0, end = n * width; at != end; at += width) {
        const std::uint64_t cube = cubeAt(reversed, at, bits);
        const std::uint64_t one = cube & digits;
        const std::uint64_t zero = (cube >> bits) & digits;
        // A cube with a bit in both masks covers nothing; one with both
        // masks zero is padding (see CubeMasks).
        if (((zero & one) != 0) | ((zero | one) == 0)) continue;
        const std::uint64_t care = zero | one | ~digits;
        const std::uint64_t free = ~care;
        const std::uint64_t lanes = childMask(care, one);
        const std::uint64_t base = one >> kLevelDigits, wordFree = free >> kLevelDigits;
        first = std::min(first, base);
        last = std::max(last, base | wordFree);
        // wordFree without its lowest digit, and without the two lowest.
        const std::uint64_t r2 = wordFree & (wordFree - 1), r3 = r2 & (r2 - 1);
        if ((r3 & (r3 - 1)) == 0 && (base | wordFree) < wordCount) {
            // Most cubes allow at most eight words, counted as eight with
            // the record: their digits d0 < d1 < d2, 0 for those missing,
            // give the words, some of them more than once (an OR again
            // changes nothing, and costs less than a branch on how many).
            const std::uint64_t d0 = wordFree ^ r2, d1 = r2 ^ r3, d2 = r3;
            std::uint64_t* const words = mask + base;
            words[0] |= lanes;
            words[d0] |= lanes;
            words[d1] |= lanes;
            words[d0 | d1] |= lanes;
            words[d2] |= lanes;
            words[d0 | d2] |= lanes;
            words[d1 | d2] |= lanes;
            words[d0 | d1 | d2] |= lanes;
            continue;
        }
        work += std::uint64_t{1} << wordDigitCount(free);
        if (work > maxWork) return false;
        if ((base | wordFree) >= wordCount) {
            orWords<true>(mask, base, wordFree, lanes, wordCount);
        } else {
            orWords<false>(mask, base, wordFree, lanes, wordCount);
        }
    }
    return true;
}

// The pass over words from .. to - 1 (from a multiple of eight) after a
// record's cubes: paints value where the mask holds a position not yet
// painted, and clears the mask. Returns how many words it completed.
template <class Cell, bool Blend>
std::uint64_t paintPass(std::uint64_t* mask, std::uint64_t* painted, Cell* cells, std::uint64_t from,
                        std::uint64_t to, Cell value) {
    std::uint64_t completed = 0;
    for (std::uint64_t g = from; g < to; g += 8) {
        std::uint64_t* const m = mask + g;
        std::uint64_t* const d = painted + g;
        std::uint64_t fresh[8];
        unsigned open = 0;  // bit k: word g + k has positions to paint
        for (int k = 0; k < 8; ++k) {
            fresh[k] = m[k] & ~d[k];
            open |= static_cast<unsigned>(fresh[k] != 0) << k;
        }
        std::fill_n(m, 8, std::uint64_t{0});
        // No branch on whether the record reached the group, nor one on
        // each word: a picture's scattered colours make both hard to
        // foretell, and the words to paint come from one mask (measured
        // about 5 % less time for a photo's --best texture). The work
        // counted is unchanged: a unit per group, as before.
        for (; open != 0; open &= open - 1) {
            const int k = std::countr_zero(open);
            paintFresh<Cell, Blend>(cells + ((g + static_cast<std::uint64_t>(k)) << kLevelDigits), fresh[k], value);
            d[k] |= fresh[k];
            completed += d[k] == kAll ? 1 : 0;
        }
    }
    return completed;
}

}  // namespace

template <class Cell>
bool paintByMasks(std::span<const RecordData> records, Cell whole, std::uint64_t pixelCount, Cell* cells,
                  const DescendingBounds& bounds, HeapArray<std::uint8_t>& scratch) {
    WholeFirstPlan plan;
    if (!planWholeFirst(records, pixelCount, bounds, plan, scratch)) return false;
    const std::uint64_t wordCount = (pixelCount + 63) >> kLevelDigits;
    // The masks in groups of eight words, the painted bits past the
    // picture's end set: the pass looks at eight at a time.
    const std::uint64_t groupedCount = (wordCount + 7) & ~std::uint64_t{7};
    HeapArray<std::uint64_t> masks, painted;
    if (!masks.allocate(groupedCount) || !painted.allocate(groupedCount)) return false;
    if ((pixelCount & 63) != 0) painted[wordCount - 1] = kAll << (pixelCount & 63);
    std::fill(painted.begin() + wordCount, painted.end(), kAll);
    std::uint64_t openWords = wordCount;  // not complete
    std::fill_n(cells, pixelCount, whole);
    std::uint64_t work = 0;
    // Byte cells are blended where the map outgrows the nearest cache: a
    // large picture's words take a few fresh positions at a time, and a
    // loop over them mispredicts its end once a word (blends measured 15 %
    // faster on the --best textures of the photos). A map within it takes
    // its stores one by one sooner (4 % on the 64 x 64 rose's -c).
    const bool blend = pixelCount >= kBlendFrom;
    for (std::size_t c = 0; c < records.size() && openWords != 0; ++c) {
        const RecordData& r = records[c];
        if (r.length == 0) continue;
        const std::uint64_t n = cubeCountOf(r.length, plan.bits);
        // A unit per cube and the words of a small cube, counted for
        // every cube before the first; a larger cube counts its words too.
        work += (1 + kSmallCubeWords) * n;
        if (work > plan.maxWork) return false;
        reverseBitsOfBytes({r.data, r.length}, scratch.data());
        std::uint64_t first = groupedCount, last = 0;
        if (!gatherRecord(scratch.data(), n, plan.bits, masks.data(), wordCount, plan.maxWork, work, first, last)) {
            return false;
        }
        if (first > last) continue;
        // The pass: a unit per group of eight words between the first and
        // the last the record reached.
        const std::uint64_t from = first & ~std::uint64_t{7}, to = std::min(last + 1, wordCount);
        work += (to - from + 7) >> 3;
        if (work > plan.maxWork) return false;
        const Cell value = static_cast<Cell>(c);
        if constexpr (sizeof(Cell) == 1) {
            openWords -= blend ? paintPass<Cell, true>(masks.data(), painted.data(), cells, from, to, value)
                               : paintPass<Cell, false>(masks.data(), painted.data(), cells, from, to, value);
        } else {
            openWords -= paintPass<Cell, false>(masks.data(), painted.data(), cells, from, to, value);
        }
    }
    return true;
}

template bool paintByMasks<std::uint8_t>(std::span<const RecordData>, std::uint8_t, std::uint64_t, std::uint8_t*,
                                         const DescendingBounds&, HeapArray<std::uint8_t>&);
template bool paintByMasks<std::uint16_t>(std::span<const RecordData>, std::uint16_t, std::uint64_t,
                                          std::uint16_t*, const DescendingBounds&, HeapArray<std::uint8_t>&);

}  // namespace qm5
