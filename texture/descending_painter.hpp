#pragma once
// Painting a compressed image in the format's own order, when that is
// cheap: the records from the last index down, each cube overwriting what
// is there, with nothing kept of what is painted.
//
// A pixel takes the colour of the lowest index whose record covers it. The
// record painter (texture/record_painter.hpp) paints from index 0 up, each
// pixel once, and so has to keep what is painted and look at it for every
// cube. Painted from the top down instead, a later record simply
// overwrites, so a cube is a few stores per group of eight positions (or
// per run of 64 and more) and nothing else, but every cube of every
// record below the lowest whole record is painted in full, however much of
// it lower records paint over. Most textures (a minimal cover above all)
// cover each pixel about once or twice that way; a dithered picture's
// high colours, whose cubes reach into every lower colour's positions,
// can cover each pixel dozens of times.
//
// So this path is taken only when it is known to be cheap and to end as
// the record painter would, and declines otherwise, before painting or
// part way (the caller then paints with the record painter, from the
// start):
// - the image has a whole record, which paints every pixel first (records
//   above it are painted over entirely), and every record below it has the
//   picture's b;
// - its own work stays within the caller's bound: a unit per cube and per
//   group of eight positions it stores (or per 64 positions of a run),
//   counted before the cube is painted;
// - a bound on the record painter's steps for the same records stays
//   within its limit: then the record painter would not have refused the
//   image, and it gives the same pixels (the limit never changes which
//   images are refused). A cube that leaves w word digits free allows 2^w
//   words; walking, the record painter takes at most a step per allowed
//   word and per allowed node above it (at most as many as words, at each
//   of its L levels), and a cube that skips the walk takes L steps and one
//   per word, or per node and per lane of a node where it allows fewer
//   lanes than words of a node (together at most twice the words): so at
//   most L + max(L, 2) 2^w per cube. The whole record's walk takes at
//   most a step per word and per node of the picture. (The bound is kept
//   through the path's own work, which is at least 2^w per cube.)

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"

namespace qm5 {

// One record below an image's first whole record: its cube data (empty
// for an empty head) and its b.
struct RecordData {
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    int bits = 0;
};

// Cells past the picture that painting may write: the end of a run of up
// to 32 positions, or of a word of 64 that painting by masks blends whole,
// that the picture ends in.
inline constexpr std::uint64_t kDescendingSlack = 64;

// The path's own work, in units per pixel and in all, past which it
// declines whatever else allows it.
inline constexpr std::uint64_t kDescendingWork = 64;
inline constexpr std::uint64_t kDescendingMaxWork = std::uint64_t{1} << 24;

struct DescendingBounds {
    std::uint64_t maxWork = 0;   // the path's own units
    std::uint64_t maxSteps = 0;  // the record painter's limit
};

// What both paths that paint a whole record first (this one and
// texture/mask_painter.hpp) need to know of the records: the picture's b,
// and the work they may do, within bounds and low enough that the record
// painter's steps for the same records stay within bounds.maxSteps (see
// above; each path counts at least 2^w units for a cube that leaves w word
// digits free); scratch gets room for the longest record's data. False
// when a record's b is not the picture's, the record painter's steps
// cannot be bounded so, or memory ran out.
struct WholeFirstPlan {
    int bits = 0;
    std::uint64_t maxWork = 0;
};
bool planWholeFirst(std::span<const RecordData> records, std::uint64_t pixelCount, const DescendingBounds& bounds,
                    WholeFirstPlan& plan, HeapArray<std::uint8_t>& scratch);

// Which path paints an image whose whole record comes after records,
// judged on a sample of their cubes.
enum class WholeFirstPath { none, descending, masks };
WholeFirstPath chooseWholeFirstPath(std::span<const RecordData> records, std::uint64_t pixelCount,
                                    std::uint64_t maxWork);

// Paints whole into cells[0 .. pixelCount - 1] and then records[k] for k
// from the last down to 0 with colour k. cells holds pixelCount +
// kDescendingSlack cells. False (declined) when a condition above fails;
// then the cells hold anything. scratch: a buffer kept between calls.
template <class Cell>
bool paintDescending(std::span<const RecordData> records, Cell whole, std::uint64_t pixelCount, Cell* cells,
                     const DescendingBounds& bounds, HeapArray<std::uint8_t>& scratch);

extern template bool paintDescending<std::uint8_t>(std::span<const RecordData>, std::uint8_t, std::uint64_t,
                                                   std::uint8_t*, const DescendingBounds&, HeapArray<std::uint8_t>&);
extern template bool paintDescending<std::uint16_t>(std::span<const RecordData>, std::uint16_t, std::uint64_t,
                                                    std::uint16_t*, const DescendingBounds&, HeapArray<std::uint8_t>&);

}  // namespace qm5
