#pragma once
// The mipmap stage: for pictures whose sides are powers of two, a chain of
// levels, each half the width and height of the one before, down to the
// level whose smaller side is 1. Level pixels are palette indices: each 2 x 2
// block is averaged channel by channel (bits 16..23, 8..15, 0..7 of the
// colours) and mapped to the nearest colour of the table; no colour is added.
// Only the level count L reaches the texture file.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "maker/colour_table.hpp"
#include "maker/console.hpp"
#include "core/heap_array.hpp"
#include "picture/picture.hpp"

namespace qm5 {

// Both sides at least 1 and each a power of two.
bool isPowerOfTwoSize(std::int32_t width, std::int32_t height);
// L: the base-2 exponent of the smaller side; 0 when the size is not a
// power-of-two size.
std::int32_t mipmapLevelCount(std::int32_t width, std::int32_t height);

// The palette index nearest to the channels (a, b, c) (bits 16..23, 8..15,
// 0..7), by a scan of the whole table: the best distance so far is held in
// single precision, starting at 65536, and an entry replaces it only when its
// double-precision distance is strictly smaller. So among entries at the
// smallest distance the first wins, unless the single-precision value of
// that distance lies above the exact root, in which case the last wins.
// 0 for an empty table.
std::int32_t nearestColour(std::uint32_t a, std::uint32_t b, std::uint32_t c, const ColourTable& table);

// Gives nearestColour's answers without scanning the whole table per query:
// the colours are bucketed in a grid of cells that is searched outward from
// the query's cell, and answers are remembered by averaged colour. Neither
// structure is needed for correctness: when its memory cannot be had, the
// finder scans. The table must not change while the finder lives.
class NearestColourFinder {
public:
    explicit NearestColourFinder(const ColourTable& table);
    NearestColourFinder(const NearestColourFinder&) = delete;
    NearestColourFinder& operator=(const NearestColourFinder&) = delete;

    // Channels 0 to 255; larger ones are answered by a scan.
    std::int32_t find(std::uint32_t a, std::uint32_t b, std::uint32_t c);
    const ColourTable& table() const { return table_; }

private:
    std::int32_t search(std::uint32_t a, std::uint32_t b, std::uint32_t c) const;

    const ColourTable& table_;
    unsigned shift_ = 0;       // a cell spans 2^shift_ values per channel
    std::int32_t cells_ = 0;   // cells per channel; 0: no grid, scan
    HeapArray<std::int32_t> cellStart_;    // cells_^3 + 1 offsets into the two arrays below
    HeapArray<std::int32_t> cellIndex_;    // palette indices by cell, ascending within a cell
    HeapArray<std::uint32_t> cellColour_;  // their colours, beside them for locality
    HeapArray<std::uint64_t> memo_;        // (colour + 1) << 32 | index; 0 = empty
};

// A new picture of (width / 2) x (height / 2) whose pixel (x, y) is the
// nearest colour to the average of source pixels (2x, 2y), (2x + 1, 2y),
// (2x, 2y + 1), (2x + 1, 2y + 1). False when memory ran out.
bool halvePicture(const Picture& source, NearestColourFinder& nearest, Picture& out);
bool halvePicture(const Picture& source, const ColourTable& table, Picture& out);

// The levels of a run: level k (1..levelCount) of picture p at
// levels[p * levelCount + k - 1].
struct MipmapLevels {
    std::int32_t levelCount = 0;
    std::size_t pictureCount = 0;
    std::unique_ptr<Picture[]> levels;

    Picture& level(std::size_t picture, std::int32_t k) {
        return levels[picture * static_cast<std::size_t>(levelCount) + static_cast<std::size_t>(k - 1)];
    }
    const Picture& level(std::size_t picture, std::int32_t k) const {
        return levels[picture * static_cast<std::size_t>(levelCount) + static_cast<std::size_t>(k - 1)];
    }
    void clear() {
        levels.reset();
        levelCount = 0;
        pictureCount = 0;
    }
};

// The stage, with its console lines:
//   size not a power of two: reports "Bitmaps must be power-of-two size !"
//     and "Skipping mipmaps !" and goes on with L = 0;
//   otherwise " %d MipMaps to do .." with L, then for each picture p
//     "\rCreating MipMaps [%2d / %2d : %3d %%]" with 0, L, p * L * 100 / (L * n)
//     and after each level k >= 2 the same with k - 1, L, (p * L + k - 1) * 100 / (L * n);
//   always "\rCreating MipMaps [%2d / %2d : %3d %%]\n" with L, L, 100.
// pictures: palette indices, all of the first one's size. Returns false when
// memory ran out: the open progress line has then been ended with "\n" and
// out is empty; the caller reports it (reportOutOfMemory).
bool buildMipmaps(Console& console, std::span<const Picture> pictures, const ColourTable& table, MipmapLevels& out);

}  // namespace qm5
