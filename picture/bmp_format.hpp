#pragma once
// BMP file layout as the readers see it (all fields little-endian):
//
//   offset  size  field
//   0       2     type, the bytes 'B' 'M'
//   2       4     file size (not used)
//   6       4     two reserved 16-bit fields (not used)
//   10      4     pixel data offset: where the stored rows (or RLE8 stream) begin
//   14      4     information header size: 40, 108 or 124 are read; the
//                 fields below are the first 40 bytes of all three
//   18      4     width, signed
//   22      4     height, signed; positive = rows stored bottom-up
//   26      2     planes (not used)
//   28      2     bits per pixel
//   30      4     compression: 0 none, 1 RLE8
//   34      4     image size (not used)
//   38      8     resolutions (not used)
//   46      4     colours used: palette entries, 0 meaning the full 2^bits
//   50      4     important colours (not used)
//   14+hs   4n    palette of 8-bit files: n entries of blue, green, red, reserved
//
// Stored rows are padded to a multiple of 4 bytes.

#include <cstdint>
#include <optional>

#include "core/byte_reader.hpp"

namespace qm5 {

inline constexpr std::uint16_t kBmpType = 0x4D42;  // 'B' 'M' read little-endian
inline constexpr std::uint32_t kBmpFileHeaderSize = 14;
inline constexpr std::uint32_t kBmpInfoHeaderSize = 40;
inline constexpr std::uint32_t kBmpCompressionNone = 0;
inline constexpr std::uint32_t kBmpCompressionRle8 = 1;
inline constexpr std::uint32_t kBmpMaxPaletteEntries = 256;

struct BmpFileHeader {
    std::uint16_t type = 0;
    std::uint32_t fileSize = 0;
    std::uint16_t reserved1 = 0;
    std::uint16_t reserved2 = 0;
    std::uint32_t pixelDataOffset = 0;

    // Reads 14 bytes; nothing (and nothing consumed) when fewer remain.
    static std::optional<BmpFileHeader> read(ByteReader& in) {
        if (in.remaining() < kBmpFileHeaderSize) return std::nullopt;
        BmpFileHeader h;
        h.type = *in.readU16();
        h.fileSize = *in.readU32();
        h.reserved1 = *in.readU16();
        h.reserved2 = *in.readU16();
        h.pixelDataOffset = *in.readU32();
        return h;
    }
};

// The 40-byte information header; the larger headers (108, 124 bytes) begin
// with the same fields and only add ones the readers do not use.
struct BmpInfoHeader {
    std::uint32_t size = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t planes = 0;
    std::uint16_t bitsPerPixel = 0;
    std::uint32_t compression = 0;
    std::uint32_t imageSize = 0;
    std::int32_t xResolution = 0;
    std::int32_t yResolution = 0;
    std::uint32_t coloursUsed = 0;
    std::uint32_t importantColours = 0;

    static bool isReadableSize(std::uint32_t size) { return size == 40 || size == 108 || size == 124; }

    // Reads the 40 common bytes; nothing (and nothing consumed) when fewer
    // remain.
    static std::optional<BmpInfoHeader> read(ByteReader& in) {
        if (in.remaining() < kBmpInfoHeaderSize) return std::nullopt;
        BmpInfoHeader h;
        h.size = *in.readU32();
        h.width = *in.readI32();
        h.height = *in.readI32();
        h.planes = *in.readU16();
        h.bitsPerPixel = *in.readU16();
        h.compression = *in.readU32();
        h.imageSize = *in.readU32();
        h.xResolution = *in.readI32();
        h.yResolution = *in.readI32();
        h.coloursUsed = *in.readU32();
        h.importantColours = *in.readU32();
        return h;
    }
};

}  // namespace qm5
