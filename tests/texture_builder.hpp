#pragma once
// Texture files built byte by byte for the tests.

#include <cstdint>
#include <vector>

#include "tests/test_support.hpp"

namespace qm5::test {

// The 35-byte texture of a compressed 2 x 2 picture: pixels 0 and 3 colour
// 0xFF, pixels 1 and 2 colour 0xFF00; records 00 01 02 C3 and 80 00 00.
inline Bytes workedTexture() {
    return fromHex(
        "71 6D 35 00 64 00 02 00 01 00 01 00 01 00 02 00 02 00 00 00"
        " FF 00 00 00 00 FF 00 00"
        " 00 01 02 C3"
        " 80 00 00");
}

struct TextureBytes {
    Bytes bytes;

    TextureBytes(std::uint16_t colourCount, std::uint16_t compression, std::uint16_t width, std::uint16_t height,
                 std::uint16_t imageCount = 1, std::uint16_t mipmaps = 0) {
        bytes = {'q', 'm', '5', 0};
        u16(100);
        u16(colourCount);
        u16(mipmaps);
        u16(imageCount);
        u16(compression);
        u16(width);
        u16(height);
        u16(0);
    }
    TextureBytes& u8(std::uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    TextureBytes& u16(std::uint16_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        return *this;
    }
    TextureBytes& u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        return u16(static_cast<std::uint16_t>(v >> 16));
    }
    TextureBytes& raw(const Bytes& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    TextureBytes& hex(const char* text) { return raw(fromHex(text)); }
};

}  // namespace qm5::test
