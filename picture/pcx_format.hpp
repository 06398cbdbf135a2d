#pragma once
// PCX file layout as the reader sees it: a 128-byte header (16-bit fields
// little-endian), run-length encoded scan lines from offset 128, top line
// first, each decoding to planes x bytesPerLine bytes, and in version 5 a
// 769-byte block at the very end of the file: the marker byte 0x0C, then 256
// red, green, blue triples.
//
// Line encoding (encoding byte 1): a byte of 0xC0 or more is a run code, its
// low six bits the repeat count (0 to 63) of the byte that follows; any other
// byte stands for itself once. Runs may continue from one line into the
// next. Encoding byte 0: every line is stored as its bytes. A line holds the
// planes one after the other, bytesPerLine bytes each.

#include <cstdint>

#include "picture/picture_loader.hpp"

namespace qm5 {

inline constexpr std::uint8_t kPcxManufacturer = 0x0A;
inline constexpr std::uint8_t kPcxPaletteVersion = 5;
inline constexpr std::uint32_t kPcxHeaderSize = 128;
inline constexpr std::uint8_t kPcxPaletteMarker = 0x0C;
inline constexpr std::uint32_t kPcxPaletteBlockSize = 1 + 256 * 3;
inline constexpr std::uint8_t kPcxRunCode = 0xC0;
inline constexpr std::uint8_t kPcxEncodingNone = 0;
inline constexpr std::uint8_t kPcxBitsPerPlane = 8;  // the only depth read

struct PcxHeader {
    std::uint8_t manufacturer = 0;
    std::uint8_t version = 0;
    std::uint8_t encoding = 0;
    std::uint8_t bitsPerPixel = 0;
    std::uint16_t xMin = 0;
    std::uint16_t yMin = 0;
    std::uint16_t xMax = 0;
    std::uint16_t yMax = 0;
    std::uint16_t xResolution = 0;
    std::uint16_t yResolution = 0;
    std::uint8_t egaPalette[48] = {};
    std::uint8_t reserved = 0;
    std::uint8_t planes = 0;
    std::uint16_t bytesPerLine = 0;
    std::uint16_t paletteInfo = 0;
    std::uint16_t xScreenSize = 0;
    std::uint16_t yScreenSize = 0;
    std::uint8_t filler[54] = {};

    // Sides wrap modulo 65536 as 16-bit values.
    std::uint32_t width() const { return static_cast<std::uint16_t>(xMax - xMin + 1); }
    std::uint32_t height() const { return static_cast<std::uint16_t>(yMax - yMin + 1); }
    // Bytes per decoded line, taken as signed 16-bit.
    std::int32_t lineLength() const { return static_cast<std::int16_t>(planes * bytesPerLine); }
};

// A run that one line did not use up; it belongs to the next line of the
// same file and is never carried from one file to another.
struct PictureLoader::PcxPendingRun {
    std::uint8_t count = 0;  // 0 to 63
    std::uint8_t value = 0;
};

}  // namespace qm5
