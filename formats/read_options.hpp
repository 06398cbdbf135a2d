#pragma once
// What the qm5 command's readers share: the options a user gives them and
// the conversions of channel values to the 8-bit channels of a Picture.

#include <cstdint>

#include "picture/picture.hpp"

namespace qm5 {

struct ReadOptions {
    // A texture holds opaque colours: a picture with a pixel that is not
    // fully opaque is refused, unless the alpha channel is to be dropped
    // or the pixel composited onto a matte.
    bool ignoreAlpha = false;
    // Pixels that are not fully opaque are composited onto matteColour
    // (packed as packRgb) instead (qm5 encode --matte).
    bool matte = false;
    std::uint32_t matteColour = 0;
    // A pixel of colour c and 8-bit alpha a, as the options want it.
    std::uint32_t visible(std::uint32_t c, std::uint32_t a) const {
        return matte && a != 0xFF ? compositeOnMatte(c, a, matteColour) : c;
    }
};

// The Picture packing: red in bits 0..7, green 8..15, blue 16..23.
constexpr std::uint32_t packRgb(std::uint32_t r, std::uint32_t g, std::uint32_t b) { return r | (g << 8) | (b << 16); }

// A channel of `bits` bits (1 to 32) widened or narrowed to 8 bits by bit
// replication: 5-bit 0x1F gives 0xFF, 5-bit 0x03 gives 0x18 (ImageMagick's
// rule for BMP and TGA masks); wider channels keep their top 8 bits.
constexpr std::uint32_t scaleTo8(std::uint32_t value, unsigned bits) {
    if (bits >= 8) return (value >> (bits - 8)) & 0xFF;
    std::uint32_t out = 0;
    unsigned have = 0;
    while (have < 8) {
        out = (out << bits) | value;
        have += bits;
    }
    return (out >> (have - 8)) & 0xFF;
}

}  // namespace qm5
