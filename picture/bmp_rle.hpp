#pragma once
// The run-length streams of BMP files, RLE8 (one index per byte) and RLE4
// (two per byte, high nibble first), decoded from the bottom-left pixel:
//
//   n v          (n > 0) n pixels of v (RLE4: alternately v's high and low nibble)
//   00 00        end of line: the next pixel starts the row above
//   00 01        end of bitmap
//   00 02 dx dy  move dx right and dy up; a column at or past the width
//                continues at column - width one row further up (once)
//   00 c ...     (c >= 3) c indices in c bytes (RLE4: (c + 1) / 2 bytes),
//                then one pad byte when that byte count is odd
//
// A row is left by an end of line, a delta, or a pixel stored once the row
// is full. Pixels at or past the right edge wait for the next code: an end
// of line or end of bitmap drops them (common encoders pad a row with a run
// that ends past the edge and then end the line), anything else, the end of
// the file included, carries them into the row above (encoders that write
// each row's runs back to back rely on that). Pixels above the top row are
// dropped; pixels the stream never reaches hold palette entry 0.

#include <cstdint>
#include <span>

#include "core/byte_reader.hpp"
#include "picture/picture.hpp"

namespace qm5 {

// Decodes the stream from the cursor to the end of its buffer into a new
// width x height picture of palette colours (palette has 256 entries; RLE4
// uses the first 16). bitsPerIndex is 8 or 4. A stream that ends (end of
// file) before an end of bitmap with pixels still unreached is truncated;
// so is one too short to be able to reach a large picture's pixels, which is
// checked before allocating (see bmp_rle.cpp).
PictureError decodeBmpRle(ByteReader& stream, unsigned bitsPerIndex, std::span<const std::uint32_t, 256> palette,
                          std::int32_t width, std::int32_t height, Picture& out);

}  // namespace qm5
