// PCX readers: one plane of 8-bit indices, version 5 with the 256-colour
// palette at the end of the file, and (for the qm5 command) three planes of
// 8 bits, one line each of red, green and blue. Lines are run-length coded
// or, with encoding byte 0, stored. A colour (red, green, blue) becomes
// r + g*256 + b*65536.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "picture/pcx_format.hpp"
#include "picture/picture_loader.hpp"

namespace qm5 {

namespace {
// Upper bound of the bytes one byte of line data can decode to (a code pair
// 0xFF v gives 63).
constexpr std::uint64_t kPcxMaxBytesPerDataByte = 32;
}  // namespace

bool PictureLoader::readPcxHeader(ByteReader& file, PcxHeader& h) {
    if (file.remaining() < kPcxHeaderSize) return false;
    h.manufacturer = *file.readU8();
    h.version = *file.readU8();
    h.encoding = *file.readU8();
    h.bitsPerPixel = *file.readU8();
    h.xMin = *file.readU16();
    h.yMin = *file.readU16();
    h.xMax = *file.readU16();
    h.yMax = *file.readU16();
    h.xResolution = *file.readU16();
    h.yResolution = *file.readU16();
    file.readInto(h.egaPalette);
    h.reserved = *file.readU8();
    h.planes = *file.readU8();
    h.bytesPerLine = *file.readU16();
    h.paletteInfo = *file.readU16();
    h.xScreenSize = *file.readU16();
    h.yScreenSize = *file.readU16();
    file.readInto(h.filler);
    return true;
}

std::int16_t PictureLoader::decodePcxLine(std::uint8_t* line, std::int32_t n, ByteReader& file,
                                          PcxPendingRun& pending) {
    n = std::max(n, 0);
    std::int32_t i = 0;
    for (;;) {
        const std::int32_t take = std::min<std::int32_t>(pending.count, n - i);
        std::memset(line + i, pending.value, static_cast<std::size_t>(take));
        i += take;
        pending.count = static_cast<std::uint8_t>(pending.count - take);
        // Full in the middle of a run: the rest belongs to the next line.
        if (pending.count != 0) break;
        auto code = file.readU8();
        if (!code) break;
        if (*code >= kPcxRunCode) {
            auto value = file.readU8();
            if (!value) break;
            pending.count = static_cast<std::uint8_t>(*code & 0x3F);
            pending.value = *value;
        } else {
            pending.count = 1;
            pending.value = *code;
        }
        // A line that ends exactly where a run ends has already read the
        // next line's first code; it stays pending.
        if (i >= n) break;
    }
    // Bytes the data never reached (end of file) are 0.
    std::memset(line + i, 0, static_cast<std::size_t>(n - i));
    return static_cast<std::int16_t>(i);
}

PictureError PictureLoader::decodePcx(std::span<const std::uint8_t> bytes, std::uint8_t planes, PcxHeader& h,
                                      Picture& out) {
    if (bytes.empty() || bytes[0] != kPcxManufacturer) return PictureError::notPicture;
    ByteReader in(bytes);
    if (!readPcxHeader(in, h)) return PictureError::truncated;

    const std::uint32_t width = h.width();
    const std::uint32_t height = h.height();
    const std::int32_t lineLength = h.lineLength();
    if (width > static_cast<std::uint32_t>(kMaxSide) || height > static_cast<std::uint32_t>(kMaxSide)) {
        return PictureError::tooLarge;
    }
    // Other layouts (1, 2 or 4 bits, 4 planes, ...) would be misread as
    // indices: refused.
    if (h.planes != planes || h.bitsPerPixel != kPcxBitsPerPlane) return PictureError::unsupported;
    // Every plane of a decoded line must hold the picture's row.
    if (lineLength <= 0 || h.bytesPerLine < width) return PictureError::malformed;

    // The line data end where the palette block begins, when the file has
    // one: palette bytes are never taken as pixels.
    const std::size_t size = bytes.size();
    const bool hasPaletteBlock = size >= kPcxPaletteBlockSize && bytes[size - kPcxPaletteBlockSize] == kPcxPaletteMarker;
    const std::size_t dataEnd =
        planes == 1 && hasPaletteBlock ? std::max<std::size_t>(kPcxHeaderSize, size - kPcxPaletteBlockSize) : size;

    // A code pair gives at most 63 bytes, so data that cannot fill the lines
    // even at that rate end early by necessity: refused before allocating,
    // or a file of a few hundred bytes could ask for gigabytes.
    const std::uint64_t dataBytes = dataEnd - kPcxHeaderSize;
    if (static_cast<std::uint64_t>(lineLength) * height > kPcxMaxBytesPerDataByte * dataBytes) {
        return PictureError::truncated;
    }

    Picture picture;
    HeapArray<std::uint8_t> line;
    if (!picture.allocate(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)) ||
        !line.allocate(static_cast<std::uint64_t>(lineLength))) {
        return PictureError::outOfMemory;
    }
    ByteReader data(bytes.first(dataEnd));
    data.seek(kPcxHeaderSize);
    PcxPendingRun pending;  // count 0 at the start of every file
    const std::size_t plane = h.bytesPerLine;
    std::uint32_t* pixels = picture.pixels.data();
    for (std::uint32_t r = 0; r < height; ++r) {
        std::int16_t placed;
        if (h.encoding == kPcxEncodingNone) {
            // Stored lines: what the file lacks is 0, as for a short coded line.
            const auto stored = std::min<std::uint64_t>(static_cast<std::uint64_t>(lineLength), data.remaining());
            data.readInto(std::span<std::uint8_t>(line.data(), static_cast<std::size_t>(stored)));
            std::fill(line.begin() + stored, line.end(), std::uint8_t{0});
            placed = static_cast<std::int16_t>(stored);
        } else {
            placed = decodePcxLine(line.data(), lineLength, data, pending);
        }
        if (placed != static_cast<std::int16_t>(lineLength) && messages_ != nullptr) {
            std::fprintf(messages_, "PCXCODE: Bad scan line length (was %d should be %d)\n", placed, lineLength);
        }
        // The pad bytes from width to the plane length are dropped.
        std::uint32_t* row = pixels + static_cast<std::size_t>(r) * width;
        const std::uint8_t* p = line.data();
        if (planes == 1) {
            for (std::uint32_t x = 0; x < width; ++x) row[x] = p[x];
        } else {
            for (std::uint32_t x = 0; x < width; ++x) {
                row[x] = std::uint32_t{p[x]} | (std::uint32_t{p[plane + x]} << 8) | (std::uint32_t{p[2 * plane + x]} << 16);
            }
        }
    }
    out = std::move(picture);
    return PictureError::none;
}

PictureError PictureLoader::loadPcx(std::span<const std::uint8_t> bytes, Picture& out) {
    out = Picture{};
    PcxHeader h;
    // Indices go straight into the pixels; the palette turns them into
    // colours once it has been found.
    Picture picture;
    if (PictureError e = decodePcx(bytes, 1, h, picture); e != PictureError::none) return e;

    const std::size_t size = bytes.size();
    if (h.version != kPcxPaletteVersion) return PictureError::unsupported;
    if (size < kPcxPaletteBlockSize) return PictureError::truncated;
    if (bytes[size - kPcxPaletteBlockSize] != kPcxPaletteMarker) return PictureError::malformed;

    std::uint32_t colours[256];
    const std::uint8_t* p = bytes.data() + (size - kPcxPaletteBlockSize + 1);
    for (std::uint32_t k = 0; k < 256; ++k, p += 3) {
        colours[k] = std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
    }
    for (std::uint32_t& v : picture.pixels) v = colours[v];
    out = std::move(picture);
    return PictureError::none;
}

PictureError PictureLoader::loadPcx24(std::span<const std::uint8_t> bytes, Picture& out) {
    out = Picture{};
    PcxHeader h;
    return decodePcx(bytes, 3, h, out);
}

}  // namespace qm5
