#pragma once
// Painting a compressed image record by record from index 0 up, as the
// record painter does, but with no tree of what is painted to look at for
// every cube: each record's cubes are first gathered into one mask of the
// picture, a 64-bit word per 64 positions, by OR-ing each cube's positions
// into its words (stores that nothing depends on); then one pass over the
// words not yet complete paints what the record's mask holds and no lower
// record painted.
//
// The record painter looks at what is painted for every word of every
// cube, and a word looked at is a load and a branch on it; here a word of
// a cube is one OR, and the branches come once per record and open word.
// Where cubes overlap a lot (covers whose high colours reach into every
// lower colour's positions, as -c writes them), that is a few times less
// work than either the record painter or painting from the top, which
// stores every position of every cube.
//
// Like painting from the top, it paints only images that end in a whole
// record and whose records all have the picture's b, and within the work
// of its plan (texture/descending_painter.hpp: a unit per cube, per word
// of each cube, 2^w for a cube that leaves w word digits free or 8 where
// that is less, and per group of eight words of each record's pass),
// counted before the work is done: then
// the record painter would have kept within its steps and painted the same
// pixels. It declines (false) otherwise, before painting or part way, and
// the caller paints with the record painter.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "texture/descending_painter.hpp"

namespace qm5 {

// Paints records[k] for k from 0 up with colour k, each pixel once, and
// whole where none covers it, into cells[0 .. pixelCount - 1] (of
// pixelCount + kDescendingSlack). False (declined) when a condition above
// fails; then the cells hold anything.
template <class Cell>
bool paintByMasks(std::span<const RecordData> records, Cell whole, std::uint64_t pixelCount, Cell* cells,
                  const DescendingBounds& bounds, HeapArray<std::uint8_t>& scratch);

extern template bool paintByMasks<std::uint8_t>(std::span<const RecordData>, std::uint8_t, std::uint64_t,
                                                std::uint8_t*, const DescendingBounds&, HeapArray<std::uint8_t>&);
extern template bool paintByMasks<std::uint16_t>(std::span<const RecordData>, std::uint16_t, std::uint64_t,
                                                 std::uint16_t*, const DescendingBounds&, HeapArray<std::uint8_t>&);

}  // namespace qm5
