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
#include "picture/picture_loader.hpp"

namespace qm5 {

namespace {

struct BmpHeaders {
    BmpFileHeader file;
    BmpInfoHeader info;
    std::uint64_t paletteEnd = 0;  // file offset just past the palette (or the headers)
};

// RLE8 pictures of more than kRle8FreePixels pixels need at least one stream
// byte (from the pixel data offset to the end of the file) per
// kRle8PixelsPerStreamByte pixels: twice the densest rate of runs (255 pixels
// per 2 bytes). Smaller pictures load whatever their stream.
constexpr std::uint64_t kRle8FreePixels = 65536;
constexpr std::uint64_t kRle8PixelsPerStreamByte = 256;

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

// RLE8 stream, decoded from the bottom-left pixel:
//   n v        (n > 0) n pixels of index v
//   00 00      end of line: the next pixel starts the row above
//   00 01      end of bitmap
//   00 02 dx dy  move dx right and dy up; a column at or past the width
//              continues at column - width one row further up (once)
//   00 c ...   (c >= 3) c indices follow, then a pad byte when c is odd
// A row is left only by an end of line or a delta: pixels past the right
// edge, like pixels above the top row, are dropped (common encoders pad
// their rows with a run that ends past the edge). Pixels the stream never
// reaches hold palette entry 0.
PictureError PictureLoader::readBmp8Rle(const BmpInfoHeader& info, std::uint32_t pixelDataOffset, ByteReader& file,
                                        Picture& out) {
    if (!readBmpPalette(info, file)) return PictureError::truncated;
    // Runs reach at most 255 pixels per 2 stream bytes; only skips (end of
    // line, delta, an early end of bitmap) reach further, and they leave
    // pixels at entry 0. Bounding the pixels by the stream keeps a 200-byte
    // file from making the reader allocate gigabytes; checked before
    // allocating.
    const std::uint64_t pixelCount = static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height);
    const std::uint64_t streamBytes = file.size() - std::uint64_t{pixelDataOffset};
    if (pixelCount > kRle8FreePixels && pixelCount > kRle8PixelsPerStreamByte * streamBytes) {
        return PictureError::truncated;
    }
    Picture picture;
    if (!picture.allocate(info.width, info.height)) return PictureError::outOfMemory;
    if (palette[0] != 0) std::fill(picture.pixels.begin(), picture.pixels.end(), palette[0]);
    if (!file.seek(pixelDataOffset)) return PictureError::malformed;

    // 64-bit position: deltas can push x far past the width.
    const std::int64_t width = info.width;
    std::int64_t x = 0;
    std::int64_t y = static_cast<std::int64_t>(info.height) - 1;
    bool rowEnded = false;  // an end of line was read since the last pixel
    std::uint32_t* pixels = picture.pixels.data();
    auto store = [&](std::uint8_t index) {
        if (rowEnded) {
            x = 0;
            --y;
            rowEnded = false;
        }
        if (y >= 0 && x < width) pixels[y * width + x] = palette[index];
        ++x;
    };

    bool endOfBitmap = false;
    // y is tested before each code, never inside a run.
    while (y >= 0) {
        auto n = file.readU8();
        if (!n) break;
        if (*n != 0) {
            auto v = file.readU8();
            if (!v) break;
            for (unsigned k = 0; k < *n; ++k) store(*v);
            continue;
        }
        auto c = file.readU8();
        if (!c) break;
        if (*c == 0) {
            x = width;
            rowEnded = true;
        } else if (*c == 1) {
            endOfBitmap = true;
            break;
        } else if (*c == 2) {
            auto d = file.readSpan(2);
            if (!d) break;
            x += (*d)[0];
            y -= (*d)[1];
            if (x >= width) {
                x -= width;
                --y;
            }
            rowEnded = false;
        } else {
            // Bytes up to the end of the file are still pixels; the missing
            // ones are not.
            auto run = file.readSpan(std::min<std::uint64_t>(*c, file.remaining()));
            for (std::uint8_t v : *run) store(v);
            if (run->size() < *c) break;
            if ((*c & 1) != 0 && !file.skip(1)) break;
        }
    }
    // A stream that ends (end of file) before its end-of-bitmap code is
    // accepted only when it has reached every pixel; an explicit early end of
    // bitmap is the format's way of leaving the rest at entry 0.
    if (!endOfBitmap && y >= 0 && width != 0 && !(y == 0 && x >= width)) return PictureError::truncated;
    out = std::move(picture);
    return PictureError::none;
}

}  // namespace qm5
