#pragma once
// The rate-aware choice of regions: a picture's positions split into
// aligned blocks, each painted with one palette colour, at the least cost
//
//   cost = squared error + lambda x (bits of the cubes)
//
// A texture's compressed record pays 2b bits for every cube, and an aligned
// block of positions is one cube: the positions p whose bits above the low
// i bits of the x part, and above the low j bits of the y part, are fixed.
// The x part of p = y * W + x is its low k bits (k = log2 W when W is a
// power of two, else floor(log2 W), whose blocks are runs across rows), the
// y part the bits above. A block is either one colour or split in half along
// x or along y, the sides chosen independently (so strips and squares alike
// are reached), and the best tree is found by dynamic programming over
// every aligned block, from single positions up (as in the optimal pruning
// of quadtrees for rate-distortion, Sullivan and Baker, "Efficient quadtree
// coding of images and video", 1994). One colour can be free: the last
// palette index, whose record is the whole-image head, paints the picture
// before every other colour, so its blocks cost no cube.
//
// Blocks are solved in tiles of at most 256 x 256 positions, one tile per
// task (so memory stays small and threads share the tiles), and then over
// whole tiles; a block wider than a tile and lower than one (or the other
// way round) is not a choice. The result does not depend on the thread
// count. All costs are integers: the squared error in 1/16ths against
// lambda in 1/16ths of a squared error per bit.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "reduce/nearest_colour.hpp"

namespace qm5 {

// Lambda's unit: 1/16 of a unit of squared error per bit.
inline constexpr std::int64_t kLambdaScale = 16;
inline constexpr std::uint32_t kNoFreeColour = 0xFFFFFFFFu;

struct BlockSplitSettings {
    std::int64_t lambda = 0;                 // in kLambdaScale units
    std::uint32_t freeColour = kNoFreeColour;  // the palette index whose blocks cost nothing
    unsigned threads = 1;
    // Each pixel's squared error counts this many times (1 .. 64); empty:
    // once each.
    std::span<const std::uint8_t> weights;
};

struct BlockSplitResult {
    std::uint64_t blocks = 0;  // blocks of colours other than the free one: cubes the tree costs
};

// Working memory of one thread's tile (bytes).
std::uint64_t blockSplitMemoryPerThread();

// Memory kept from one split to the next (a tile's blocks per thread), so
// that a search making many splits allocates it once.
class BlockSplitWorkspace {
public:
    BlockSplitWorkspace() = default;
    BlockSplitWorkspace(const BlockSplitWorkspace&) = delete;
    BlockSplitWorkspace& operator=(const BlockSplitWorkspace&) = delete;
    ~BlockSplitWorkspace();

private:
    friend bool splitIntoBlocks(std::span<const std::uint32_t>, std::span<const std::uint32_t>, std::int32_t,
                                const BlockPalette&, const BlockSplitSettings&, BlockSplitWorkspace&,
                                std::span<std::uint32_t>, BlockSplitResult&);
    struct Parts;
    Parts* parts_ = nullptr;
};

// pixels: width x (pixels.size() / width) packed RGB, and nearest the index
// of each one's nearest palette colour; indices receives the palette index
// of every position. False when memory ran out.
[[nodiscard]] bool splitIntoBlocks(std::span<const std::uint32_t> pixels, std::span<const std::uint32_t> nearest,
                                   std::int32_t width, const BlockPalette& palette, const BlockSplitSettings& settings,
                                   BlockSplitWorkspace& workspace, std::span<std::uint32_t> indices,
                                   BlockSplitResult& result);

}  // namespace qm5
