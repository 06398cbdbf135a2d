#pragma once
// The BMP variants common encoders write beyond the classic readers' three,
// for the qm5 command (qm5_maker keeps reading exactly what it read):
//
//   information header  12 bytes (OS/2 1.x: 16-bit sides, 3-byte palette
//                       entries), 16 or 64 (OS/2 2.x), 40, 52, 56, 108, 124
//   bits per pixel      1, 2, 4, 8 (palette), 16, 24, 32
//   compression         0 none, 1 RLE8 (8 bits), 2 RLE4 (4 bits),
//                       3 BITFIELDS and 6 ALPHABITFIELDS (16 and 32 bits):
//                       red, green, blue (and alpha) masks, after a 40-byte
//                       header or inside a larger one
//   rows                bottom-up, or top-down (negative height, uncompressed)
//
// Without masks 16-bit pixels hold 5 bits each of red, green and blue
// (bits 10..14, 5..9, 0..4) and 32-bit pixels 8 bits each with the top byte
// unused. A channel of n bits is widened to 8 by bit replication. An alpha
// mask makes the alpha channel count: a pixel that is not fully opaque is
// refused unless the options drop alpha.

#include <cstdint>
#include <span>

#include "formats/read_options.hpp"
#include "picture/picture.hpp"
#include "picture/picture_reader.hpp"

namespace qm5 {

// Reads any of the variants above (the classic ones included). Variants not
// read are refused as unsupported and named in detail ("64-bit BMP").
PictureError loadBmpVariant(std::span<const std::uint8_t> file, Picture& out, const ReadOptions& options,
                            PictureDetail* detail = nullptr);

}  // namespace qm5
