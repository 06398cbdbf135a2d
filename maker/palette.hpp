#pragma once
// The palette stage: gathers the colours of all pictures of a run into the
// ColourTable and replaces every pixel by its palette index, printing
//
//   "Creating palette (%3d cols found, %3d %% done)"          first, with 0, 0
//   "\rCreating palette (%3d cols found, %3d %% done)"        at every pixel
//        position i with i mod 32 = 16 of each picture, in both sweeps
//   "\rCreating palette (%3d cols found, %3d %% done)\n"      last, with 100
//
// The count shown is the number of table entries at that moment, the
// percentage ((done / 2) * 100) / (n * P) over the pixel visits of both
// sweeps (gathering: done = p * P + i; indexing: done = n * P + p * P + i).
//
// The result is that of inserting every pixel into the table one by one and
// then looking every pixel up, but the work is linear: the gathering sweep
// counts distinct colours in a hash set, the table is filled once from its
// sorted contents, and the indexing sweep uses a binary search.

#include <cstdint>
#include <span>

#include "maker/colour_table.hpp"
#include "maker/console.hpp"
#include "maker/progress.hpp"
#include "picture/picture.hpp"

namespace qm5 {

// Most colours a texture can hold: its reader takes the 16-bit colour count
// as signed.
inline constexpr std::int32_t kMaxPaletteColours = 32767;

enum class PaletteResult {
    done,
    // Memory for the table ran out: "Adding color to table failed !" has
    // been reported. The table is unchanged.
    tableFailed,
    // A pixel's colour was missing from the finished table: "Adding color to
    // texture failed !" has been reported. A guard; it cannot happen.
    indexFailed,
    // The gathering sweep stopped as soon as the colours passed maxColours.
    // The open progress line has been ended with "\n"; nothing is reported,
    // the caller says what went wrong. The table is unchanged.
    tooManyColours,
};

// pictures: all of the same size (the percentages use the first one's pixel
// count). Colours already in the table count as found from the start.
// progress (when given) is told of the stage every 65536 pixel visits.
PaletteResult buildPalette(Console& console, std::span<Picture> pictures, ColourTable& table,
                           std::int32_t maxColours = kMaxPaletteColours, Progress* progress = nullptr);

}  // namespace qm5
