#pragma once
// TGA reader for the qm5 command. Layout (all fields little-endian):
//
//   offset  size  field
//   0       1     ID length: bytes of free text after the header
//   1       1     colour map type: 0 none, 1 present
//   2       1     image type: 1 colour-mapped, 2 true colour, 3 grey;
//                 9, 10, 11 the same run-length coded
//   3       2     first colour map entry (the index of map entry 0)
//   5       2     colour map length (entries)
//   7       1     colour map entry size: 15, 16, 24 or 32 bits
//   8       4     x and y origin (not used)
//   12      2     width
//   14      2     height
//   16      1     pixel depth: 8 (indices, grey), 15, 16, 24, 32; 16 for grey + alpha
//   17      1     descriptor: bits 0..3 alpha bits, bit 4 rows run right to
//                 left, bit 5 the first row is the top row
//   18            ID, colour map, then the pixels
//
// Pixels are stored blue, green, red (then alpha); 15- and 16-bit values hold
// 5 bits each of red (bits 10..14), green (5..9) and blue (0..4), and bit 15
// is alpha when the descriptor announces one alpha bit. Run-length packets:
// a header byte h, then for h >= 0x80 one pixel repeated (h & 0x7F) + 1
// times, else (h + 1) pixels stored; packets may run on into the next row.

#include <cstdint>
#include <span>

#include "formats/read_options.hpp"
#include "picture/picture.hpp"
#include "picture/picture_reader.hpp"

namespace qm5 {

inline constexpr std::uint32_t kTgaHeaderSize = 18;

// True when head starts like a TGA header: a colour map type of 0 or 1, a
// known image type and pixel depth. Text (a list file) never passes: its
// second byte is never 0 or 1.
// How far a TGA file reaches (picture/picture_reader.hpp): the header, ID,
// colour map and pixels; a run-length picture at most a byte more per pixel.
// The footer of TGA 2.0 files is not read.
void measureTga(std::span<const std::uint8_t> file, PictureExtent& extent);

bool looksLikeTga(std::span<const std::uint8_t> head);

// Refusals of variants not read name them in detail ("16-bit colour-mapped TGA").
PictureError loadTga(std::span<const std::uint8_t> file, Picture& out, const ReadOptions& options,
                     PictureDetail* detail = nullptr);

}  // namespace qm5
