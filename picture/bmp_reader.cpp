// BMP readers: 24-bit uncompressed, 8-bit uncompressed and 8-bit RLE8, rows
// stored bottom-up. The palette is taken from right after the information
// header (40, 108 or 124 bytes) with `colours used` entries, and the pixels
// from the pixel data offset, so files with short palettes, larger headers
// or a gap before their pixels load unshifted.
//
// Every reader packs red in bits 0 to 7, green in 8 to 15 and blue in 16 to
// 23, so that one picture gives one texture whatever format it was saved in:
// an 8-bit palette entry (blue, green, red, reserved) becomes
// b0*65536 + b1*256 + b2, a 24-bit pixel (blue, green, red) p0*65536 + p1*256 + p2.

#include <algorithm>
#include <cstdint>
#include <utility>

#include "picture/bmp_format.hpp"
#include "picture/bmp_rle.hpp"
#include "picture/picture_loader.hpp"

namespace qm5 {

namespace {

struct BmpHeaders {
    BmpFileHeader file;
    BmpInfoHeader info;
    std::uint64_t paletteEnd = 0;  // file offset just past the palette (or the headers)
};

// Bytes per stored row: pixels padded to a multiple of 4.
std::uint64_t storedRowLength(std::int32_t width, std::uint32_t bytesPerPixel) {
    return (static_cast<std::uint64_t>(width) * bytesPerPixel + 3) & ~std::uint64_t{3};
}

// Reads and checks what both readers share. On success in is positioned just
// past the information header (at the palette, if any). accepts decides the
// bit depth and compression; everything is judged only on bytes the file
// actually has.
template <class Accepts>
PictureError readBmpHeaders(std::span<const std::uint8_t> bytes, ByteReader& in, BmpHeaders& h, Accepts accepts) {
    if (bytes.size() < 2 || bytes[0] != 0x42 || bytes[1] != 0x4D) return PictureError::notPicture;
    auto file = BmpFileHeader::read(in);
    if (!file) return PictureError::truncated;
    h.file = *file;

    // The size field decides where the palette starts; look at it before the
    // fields it governs.
    const std::size_t infoStart = in.offset();
    auto infoSize = in.readU32();
    if (!infoSize) return PictureError::truncated;
    if (!BmpInfoHeader::isReadableSize(*infoSize)) return PictureError::malformed;
    in.seek(infoStart);
    if (in.remaining() < *infoSize) return PictureError::truncated;
    h.info = *BmpInfoHeader::read(in);
    in.skip(*infoSize - kBmpInfoHeaderSize);

    const BmpInfoHeader& info = h.info;
    if (!accepts(info)) return PictureError::unsupported;
    // Top-down rows (negative height) are not read.
    if (info.width < 0 || info.height < 0) return PictureError::malformed;
    if (info.width > kMaxSide || info.height > kMaxSide) return PictureError::tooLarge;

    h.paletteEnd = in.offset();
    if (info.bitsPerPixel <= 8) {
        if (info.coloursUsed > kBmpMaxPaletteEntries) return PictureError::malformed;
        const std::uint32_t entries = info.coloursUsed == 0 ? kBmpMaxPaletteEntries : info.coloursUsed;
        h.paletteEnd += std::uint64_t{4} * entries;
    }
    // The pixels can neither overlap the headers and palette nor start
    // outside the file.
    if (h.file.pixelDataOffset < h.paletteEnd || h.file.pixelDataOffset > bytes.size()) return PictureError::malformed;
    return PictureError::none;
}

// An uncompressed file must hold every row it announces; checked before the
// picture is allocated.
PictureError checkStoredRows(std::span<const std::uint8_t> bytes, const BmpHeaders& h, std::uint32_t bytesPerPixel) {
    const std::uint64_t need = storedRowLength(h.info.width, bytesPerPixel) * static_cast<std::uint64_t>(h.info.height);
    if (bytes.size() - h.file.pixelDataOffset < need) return PictureError::truncated;
    return PictureError::none;
}

}  // namespace

PictureError PictureLoader::loadBmp24(std::span<const std::uint8_t> bytes, Picture& out) {
    out = Picture{};
    ByteReader in(bytes);
    BmpHeaders h;
    PictureError e = readBmpHeaders(bytes, in, h, [](const BmpInfoHeader& info) {
        return info.bitsPerPixel == 24 && info.compression == kBmpCompressionNone;
    });
    if (e != PictureError::none) return e;
    if ((e = checkStoredRows(bytes, h, 3)) != PictureError::none) return e;

    Picture picture;
    if (!picture.allocate(h.info.width, h.info.height)) return PictureError::outOfMemory;
    const std::uint64_t rowLength = storedRowLength(h.info.width, 3);
    const std::size_t width = static_cast<std::size_t>(h.info.width);
    in.seek(h.file.pixelDataOffset);
    for (std::int32_t y = h.info.height - 1; y >= 0; --y) {
        auto row = in.readSpan(rowLength);
        if (!row) return PictureError::truncated;
        const std::uint8_t* p = row->data();
        std::uint32_t* dst = picture.pixels.data() + static_cast<std::size_t>(y) * width;
        for (std::size_t x = 0; x < width; ++x, p += 3) {
            dst[x] = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | std::uint32_t{p[2]};
        }
    }
    out = std::move(picture);
    return PictureError::none;
}

PictureError PictureLoader::loadBmp8(std::span<const std::uint8_t> bytes, Picture& out) {
    out = Picture{};
    ByteReader in(bytes);
    BmpHeaders h;
    PictureError e = readBmpHeaders(bytes, in, h, [](const BmpInfoHeader& info) {
        return info.bitsPerPixel == 8 &&
               (info.compression == kBmpCompressionNone || info.compression == kBmpCompressionRle8);
    });
    if (e != PictureError::none) return e;
    if (h.info.compression == kBmpCompressionNone) {
        if ((e = checkStoredRows(bytes, h, 1)) != PictureError::none) return e;
        return readBmp8Raw(h.info, h.file.pixelDataOffset, in, out);
    }
    return readBmp8Rle(h.info, h.file.pixelDataOffset, in, out);
}

bool PictureLoader::readBmpPalette(const BmpInfoHeader& info, ByteReader& file) {
    // Entries the file does not store are black.
    std::fill(std::begin(palette), std::end(palette), 0u);
    const std::uint32_t entries = info.coloursUsed == 0 ? kBmpMaxPaletteEntries
                                                        : std::min(info.coloursUsed, kBmpMaxPaletteEntries);
    auto table = file.readSpan(std::uint64_t{4} * entries);
    if (!table) return false;
    const std::uint8_t* p = table->data();
    for (std::uint32_t i = 0; i < entries; ++i, p += 4) {
        palette[i] = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | std::uint32_t{p[2]};
    }
    return true;
}

PictureError PictureLoader::readBmp8Raw(const BmpInfoHeader& info, std::uint32_t pixelDataOffset, ByteReader& file,
                                        Picture& out) {
    if (!readBmpPalette(info, file)) return PictureError::truncated;
    Picture picture;
    if (!picture.allocate(info.width, info.height)) return PictureError::outOfMemory;
    const std::uint64_t rowLength = storedRowLength(info.width, 1);
    const std::size_t width = static_cast<std::size_t>(info.width);
    if (!file.seek(pixelDataOffset)) return PictureError::malformed;
    for (std::int32_t y = info.height - 1; y >= 0; --y) {
        auto row = file.readSpan(rowLength);
        if (!row) return PictureError::truncated;
        const std::uint8_t* p = row->data();
        std::uint32_t* dst = picture.pixels.data() + static_cast<std::size_t>(y) * width;
        for (std::size_t x = 0; x < width; ++x) dst[x] = palette[p[x]];
    }
    out = std::move(picture);
    return PictureError::none;
}

// RLE8: the stream from the pixel data offset to the end of the file (see
// picture/bmp_rle.hpp).
PictureError PictureLoader::readBmp8Rle(const BmpInfoHeader& info, std::uint32_t pixelDataOffset, ByteReader& file,
                                        Picture& out) {
    if (!readBmpPalette(info, file)) return PictureError::truncated;
    if (!file.seek(pixelDataOffset)) return PictureError::malformed;
    return decodeBmpRle(file, 8, palette, info.width, info.height, out);
}

}  // namespace qm5
