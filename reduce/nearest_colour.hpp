#pragma once
// The nearest palette colour to a colour or to the mean of a set of pixels,
// exactly (squared RGB distance; the lowest index among equals), through a
// grid over the colour cube: each cell keeps the palette colours that can be
// nearest to some point inside it (those not farther from the cell than the
// colour whose farthest corner is nearest), so a query compares only those.
// The lists are made coarse to fine, each cell's from its parent's. And
// BlockPalette: one colour per cell, for the means of blocks, where near is
// near enough.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "reduce/picture_error.hpp"

namespace qm5 {

class NearestColour {
public:
    // palette: packed RGB colours, 1 to 32767. wanted (when not empty):
    // for each cell of a 16 x 16 x 16 grid (red + 16 green + 256 blue, of
    // the top 4 bits), whether queries fall inside it; queries elsewhere
    // compare every colour. False when memory ran out.
    [[nodiscard]] bool build(std::span<const std::uint32_t> palette, std::span<const std::uint8_t> wanted = {});

    // The index of the colour nearest to c.
    std::uint32_t nearest(std::uint32_t c) const {
        return nearestToMean(redOf(c), greenOf(c), blueOf(c), 1);
    }
    // The index of the colour c minimising the squared error of n pixels
    // whose channels sum to r, g, b (n >= 1): n |c|^2 - 2 c . sum, the
    // colour nearest to their mean.
    std::uint32_t nearestToMean(std::int64_t r, std::int64_t g, std::int64_t b, std::int64_t n) const;

    std::span<const std::uint32_t> palette() const { return palette_.span(); }
    // Whether queries in the cell of colour c (of 32 x 32 x 32) compare a
    // short list rather than every colour.
    bool listed(std::uint32_t c) const { return listed_[cellOf(c)] != 0; }
    static std::size_t cellOf(std::uint32_t c) {
        constexpr int drop = 8 - kCellBits;
        return ((c & 0xFF) >> drop) | (((c >> 8) & 0xFF) >> drop) << kCellBits |
               (((c >> 16) & 0xFF) >> drop) << (2 * kCellBits);
    }

private:
    static constexpr int kCellBits = 5;  // 32 x 32 x 32 cells of 8 values a side
    static constexpr int kCells = 1 << (3 * kCellBits);

    HeapArray<std::uint32_t> palette_;
    HeapArray<std::int64_t> norms_;       // |c|^2 per palette colour
    HeapArray<std::uint32_t> cellStart_;  // kCells + 1 offsets into candidates_
    HeapArray<std::uint32_t> candidates_;
    HeapArray<std::uint8_t> listed_;     // per cell: its list was made
};

// What the split needs of a palette: its colours, and the colour nearest to
// the centre of each cell of a 32 x 32 x 32 grid over the colour cube, the
// colour a block of several pixels takes (the one nearest to its mean, or
// nearly: never more than a cell's half diagonal from it). Single pixels
// take their exact nearest colour, so that lambda 0 gives exactly the
// nearest colours.
class BlockPalette {
public:
    [[nodiscard]] bool build(const NearestColour& nearest);
    std::span<const std::uint32_t> colours() const { return colours_; }
    std::uint32_t nearMean(std::uint32_t r, std::uint32_t g, std::uint32_t b) const {
        return grid_[(r >> 3) | ((g >> 3) << 5) | ((b >> 3) << 10)];
    }

private:
    std::span<const std::uint32_t> colours_;
    HeapArray<std::uint16_t> grid_;
};

}  // namespace qm5
