// How far BMP and PCX files reach, from their headers. A measure mirrors
// what every reader of the format accepts (the classic readers and the qm5
// command's BMP variants): a header that no reader takes ends the picture
// where the reader will judge it, so that it refuses it from those bytes.
#include <algorithm>

#include "core/byte_reader.hpp"
#include "picture/bmp_format.hpp"
#include "picture/pcx_format.hpp"
#include "picture/picture_reader.hpp"

namespace qm5 {

namespace {

// Run-length data of a BMP reach every pixel in at most 4 bytes: a 1-pixel
// run takes 2, a delta past a pixel 4 for at least one, an absolute run
// about 1; and one end of line per row. Coders that do worse still load
// when the file ends; only a stream that goes on past this is refused.
constexpr std::uint64_t kRleBytesPerPixel = 4;
constexpr std::uint64_t kRleBytesPerRow = 4;
// Gap between the headers and palette and the pixels of a BMP (an embedded
// colour profile, say) that a stream may hold.
constexpr std::uint64_t kBmpMaxGap = std::uint64_t{64} << 20;
// PCX lines take at most 2 bytes per byte (a run of one for 0xC0 and above).
constexpr std::uint64_t kPcxCodedBytesPerByte = 2;

void finish(PictureExtent& extent, PictureEnd kind, std::uint64_t end) {
    extent.done = true;
    extent.need = 0;
    extent.kind = kind;
    extent.end = end;
}

bool ask(std::span<const std::uint8_t> file, PictureExtent& extent, std::uint64_t bytes) {
    if (file.size() >= bytes) return false;
    extent.need = extent.end = bytes;
    return true;
}

bool readBmpBits(std::uint16_t bits) {
    return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

}  // namespace

void measureBmp(std::span<const std::uint8_t> file, PictureExtent& extent) {
    if (ask(file, extent, kBmpFileHeaderSize + 4)) return;
    ByteReader in(file);
    in.seek(10);
    const std::uint32_t offset = *in.readU32();
    const std::uint32_t infoSize = *in.readU32();
    const std::uint32_t known[] = {12, 16, 40, 52, 56, 64, 108, 124};
    if (std::find(std::begin(known), std::end(known), infoSize) == std::end(known)) {
        return finish(extent, PictureEnd::exact, in.offset());
    }
    const std::uint64_t infoEnd = kBmpFileHeaderSize + std::uint64_t{infoSize};
    if (ask(file, extent, infoEnd)) return;
    const bool core = infoSize == 12;
    const std::int64_t width = core ? std::int64_t{*in.readU16()} : std::int64_t{*in.readI32()};
    const std::int64_t signedHeight = core ? std::int64_t{*in.readU16()} : std::int64_t{*in.readI32()};
    in.skip(2);
    const std::uint16_t bits = *in.readU16();
    std::uint32_t compression = 0;
    std::uint32_t colours = 0;
    if (infoSize >= kBmpInfoHeaderSize) {
        compression = *in.readU32();
        in.skip(12);
        colours = *in.readU32();
    }
    const std::int64_t height = signedHeight < 0 ? -signedHeight : signedHeight;
    if (width < 0 || width > kMaxSide || height > kMaxSide) return finish(extent, PictureEnd::exact, infoEnd);

    // Masks after a 40-byte header, then the palette.
    const bool masks = compression == 3 || compression == 6;
    std::uint64_t headersEnd = infoEnd + (infoSize == kBmpInfoHeaderSize && masks ? 16 : 0);
    if (bits <= 8) {
        const std::uint64_t entries = std::min<std::uint64_t>(colours != 0 ? colours : 1u << bits, 256);
        headersEnd += entries * (core ? 3 : 4);
    }
    if (offset > headersEnd + kBmpMaxGap) return finish(extent, PictureEnd::exact, headersEnd);
    const std::uint64_t start = std::max<std::uint64_t>(offset, headersEnd);
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    // OS/2 headers give compression 3 another meaning (Huffman coding).
    const bool os2 = infoSize == 16 || infoSize == 64;
    const bool runLength = (compression == 1 && bits == 8) || (compression == 2 && bits == 4);
    const bool rows = readBmpBits(bits) && (compression == 0 || compression == 6 || (compression == 3 && !os2));
    if (!runLength && !rows) return finish(extent, PictureEnd::exact, headersEnd);
    extent.sized = true;
    extent.width = static_cast<std::int32_t>(width);
    extent.height = static_cast<std::int32_t>(height);
    if (runLength) {
        return finish(extent, PictureEnd::bound,
                      start + kRleBytesPerPixel * pixels + kRleBytesPerRow * static_cast<std::uint64_t>(height));
    }
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
    finish(extent, PictureEnd::exact, start + rowBytes * static_cast<std::uint64_t>(height));
}

void measurePcx(std::span<const std::uint8_t> file, PictureExtent& extent) {
    if (ask(file, extent, kPcxHeaderSize)) return;
    ByteReader in(file);
    in.seek(2);
    const std::uint8_t encoding = *in.readU8();
    const std::uint8_t bits = *in.readU8();
    const std::uint16_t xMin = *in.readU16();
    const std::uint16_t yMin = *in.readU16();
    const std::uint16_t xMax = *in.readU16();
    const std::uint16_t yMax = *in.readU16();
    in.seek(65);
    const std::uint8_t planes = *in.readU8();
    const std::uint16_t bytesPerLine = *in.readU16();
    // As PcxHeader computes them.
    const std::uint32_t width = static_cast<std::uint16_t>(xMax - xMin + 1);
    const std::uint32_t height = static_cast<std::uint16_t>(yMax - yMin + 1);
    const std::int32_t lineLength = static_cast<std::int16_t>(planes * bytesPerLine);
    if (width > static_cast<std::uint32_t>(kMaxSide) || height > static_cast<std::uint32_t>(kMaxSide) ||
        bits != kPcxBitsPerPlane || (planes != 1 && planes != 3) || lineLength <= 0 || bytesPerLine < width) {
        return finish(extent, PictureEnd::exact, kPcxHeaderSize);
    }
    extent.sized = true;
    extent.width = static_cast<std::int32_t>(width);
    extent.height = static_cast<std::int32_t>(height);
    const std::uint64_t lines = static_cast<std::uint64_t>(lineLength) * height;
    const std::uint64_t data = encoding == kPcxEncodingNone ? lines : kPcxCodedBytesPerByte * lines;
    if (planes == 1) return finish(extent, PictureEnd::fileEnd, kPcxHeaderSize + data + kPcxPaletteBlockSize);
    finish(extent, PictureEnd::bound, kPcxHeaderSize + data);
}

}  // namespace qm5
