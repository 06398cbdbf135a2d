#include "formats/bmp_variants.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "core/byte_reader.hpp"
#include "picture/bmp_format.hpp"
#include "picture/bmp_rle.hpp"

namespace qm5 {

namespace {

constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kCompressionRle4 = 2;
constexpr std::uint32_t kCompressionBitfields = 3;
constexpr std::uint32_t kCompressionJpeg = 4;
constexpr std::uint32_t kCompressionPng = 5;
constexpr std::uint32_t kCompressionAlphaBitfields = 6;

// One colour channel of a 16- or 32-bit pixel.
struct Channel {
    std::uint32_t mask = 0;
    unsigned shift = 0;
    unsigned bits = 0;
    std::uint32_t max = 0;

    // False for a mask whose bits are not contiguous.
    bool set(std::uint32_t m) {
        mask = m;
        if (m == 0) return true;
        shift = static_cast<unsigned>(std::countr_zero(m));
        bits = static_cast<unsigned>(std::popcount(m));
        max = static_cast<std::uint32_t>((std::uint64_t{1} << bits) - 1);
        return (m >> shift) == max;
    }
    std::uint32_t raw(std::uint32_t v) const { return (v & mask) >> shift; }
    std::uint32_t of(std::uint32_t v) const { return bits == 0 ? 0 : scaleTo8(raw(v), bits); }
};

struct Layout {
    std::uint32_t pixelOffset = 0;
    std::uint32_t infoSize = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;  // positive; topDown says the order
    bool topDown = false;
    std::uint16_t bits = 0;
    std::uint32_t compression = 0;
    Channel red, green, blue, alpha;  // alpha.bits == 0: no alpha
    std::uint32_t palette[256] = {};
};

bool isOs2(std::uint32_t infoSize) { return infoSize == 16 || infoSize == 64; }

// The compression and bit count, naming what is not read.
PictureError checkVariant(const Layout& l, PictureDetail& why) {
    const auto variant = [&why](const char* format, unsigned value) {
        why.print(format, value);
        return PictureError::unsupported;
    };
    const auto named = [&why](const char* text) {
        why.set(text);
        return PictureError::unsupported;
    };
    const std::uint32_t c = l.compression;
    if (isOs2(l.infoSize) && (c == 3 || c == 4)) return named(c == 3 ? "Huffman-coded BMP" : "RLE24 BMP");
    if (c == kCompressionJpeg) return named("JPEG-compressed BMP");
    if (c == kCompressionPng) return named("PNG-compressed BMP");
    if (c >= 11 && c <= 13) return variant("CMYK BMP (compression %u)", c);
    if (c > kCompressionAlphaBitfields) return variant("BMP with compression %u", c);
    switch (l.bits) {
        case 1: case 2: case 4: case 8: case 16: case 24: case 32: break;
        default: return variant("%u-bit BMP", l.bits);
    }
    const bool masks = c == kCompressionBitfields || c == kCompressionAlphaBitfields;
    if ((c == kBmpCompressionRle8 && l.bits != 8) || (c == kCompressionRle4 && l.bits != 4) ||
        (masks && l.bits != 16 && l.bits != 32)) {
        return PictureError::malformed;
    }
    // Run-length rows are always stored bottom-up.
    if (l.topDown && (c == kBmpCompressionRle8 || c == kCompressionRle4)) return PictureError::malformed;
    return PictureError::none;
}

// Reads the headers, masks and palette into l; in ends after the palette.
PictureError readLayout(std::span<const std::uint8_t> bytes, ByteReader& in, Layout& l, PictureDetail& why) {
    if (bytes.size() < 2 || bytes[0] != 0x42 || bytes[1] != 0x4D) return PictureError::notPicture;
    const auto file = BmpFileHeader::read(in);
    const auto infoSize = in.readU32();
    if (!file || !infoSize) return PictureError::truncated;
    l.pixelOffset = file->pixelDataOffset;
    l.infoSize = *infoSize;
    const std::uint32_t known[] = {kCoreHeaderSize, 16, 40, 52, 56, 64, 108, 124};
    if (std::find(std::begin(known), std::end(known), l.infoSize) == std::end(known)) return PictureError::malformed;
    if (in.remaining() < l.infoSize - 4) return PictureError::truncated;
    const std::size_t infoStart = in.offset() - 4;
    std::int64_t height = 0;
    std::uint32_t coloursUsed = 0;
    if (l.infoSize == kCoreHeaderSize) {
        l.width = *in.readU16();
        height = *in.readU16();
        in.skip(2);
        l.bits = *in.readU16();
    } else {
        l.width = *in.readI32();
        height = *in.readI32();
        in.skip(2);
        l.bits = *in.readU16();
        if (l.infoSize >= 40) {
            l.compression = *in.readU32();
            in.skip(12);
            coloursUsed = *in.readU32();
        }
    }
    in.seek(infoStart + l.infoSize);
    l.topDown = height < 0;
    if (PictureError e = checkVariant(l, why); e != PictureError::none) return e;
    if (l.width < 0 || height == INT32_MIN) return PictureError::malformed;
    height = l.topDown ? -height : height;
    if (l.width > kMaxSide || height > kMaxSide) return PictureError::tooLarge;
    l.height = static_cast<std::int32_t>(height);

    // Masks: inside headers of 52 bytes and more, else right after a
    // 40-byte header; the defaults otherwise.
    std::uint32_t m[4] = {0, 0, 0, 0};
    const bool masks = l.compression == kCompressionBitfields || l.compression == kCompressionAlphaBitfields;
    if (masks) {
        const unsigned count = l.compression == kCompressionAlphaBitfields || l.infoSize >= 56 ? 4 : 3;
        ByteReader at(bytes);
        at.seek(l.infoSize >= 52 ? infoStart + 40 : in.offset());
        for (unsigned k = 0; k < count; ++k) {
            const auto v = at.readU32();
            if (!v) return PictureError::truncated;
            m[k] = *v;
        }
        if (l.infoSize == 40) in.skip(4 * count);
    } else if (l.bits == 16) {
        m[0] = 0x7C00, m[1] = 0x03E0, m[2] = 0x001F;
    } else if (l.bits == 32) {
        m[0] = 0xFF0000, m[1] = 0xFF00, m[2] = 0xFF;
    }
    if (!l.red.set(m[0]) || !l.green.set(m[1]) || !l.blue.set(m[2]) || !l.alpha.set(m[3])) {
        return PictureError::malformed;
    }

    if (l.bits <= 8) {
        // Entries the file does not store are black.
        if (coloursUsed > kBmpMaxPaletteEntries) return PictureError::malformed;
        const unsigned entryBytes = l.infoSize == kCoreHeaderSize ? 3 : 4;
        std::uint64_t entries = coloursUsed != 0 ? coloursUsed : 1u << l.bits;
        if (l.infoSize == kCoreHeaderSize && l.pixelOffset >= in.offset()) {
            entries = std::min<std::uint64_t>(entries, (l.pixelOffset - in.offset()) / 3);
        }
        const auto table = in.readSpan(entries * entryBytes);
        if (!table) return PictureError::truncated;
        for (std::size_t i = 0; i < entries; ++i) {
            const std::uint8_t* p = table->data() + i * entryBytes;
            l.palette[i] = packRgb(p[2], p[1], p[0]);
        }
    }
    if (l.pixelOffset < in.offset() || l.pixelOffset > bytes.size()) return PictureError::malformed;
    return PictureError::none;
}

// Uncompressed rows, each padded to a multiple of 4 bytes.
PictureError readRows(std::span<const std::uint8_t> bytes, const Layout& l, const ReadOptions& options,
                      Picture& out) {
    const std::uint64_t rowBytes = (std::uint64_t{static_cast<std::uint32_t>(l.width)} * l.bits + 31) / 32 * 4;
    if (rowBytes * static_cast<std::uint64_t>(l.height) > bytes.size() - l.pixelOffset) return PictureError::truncated;
    Picture picture;
    if (!picture.allocate(l.width, l.height)) return PictureError::outOfMemory;
    bool opaque = true;
    for (std::int32_t s = 0; s < l.height; ++s) {
        const std::uint8_t* row = bytes.data() + l.pixelOffset + static_cast<std::size_t>(s) * rowBytes;
        // Pointer arithmetic, not at(): a picture 0 pixels wide has no array.
        std::uint32_t* dst = picture.pixels.data() +
                             static_cast<std::size_t>(l.topDown ? s : l.height - 1 - s) * static_cast<std::size_t>(l.width);
        for (std::int32_t x = 0; x < l.width; ++x) {
            const std::size_t bit = static_cast<std::size_t>(x) * l.bits;
            if (l.bits <= 8) {
                const unsigned index = (row[bit / 8] >> (8 - l.bits - bit % 8)) & ((1u << l.bits) - 1);
                dst[x] = l.palette[index];
                continue;
            }
            const std::uint8_t* p = row + bit / 8;
            if (l.bits == 24) {
                dst[x] = packRgb(p[2], p[1], p[0]);
                continue;
            }
            std::uint32_t v = p[0] | (std::uint32_t{p[1]} << 8);
            if (l.bits == 32) v |= (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
            const bool solid = l.alpha.bits == 0 || l.alpha.raw(v) == l.alpha.max;
            dst[x] = packRgb(l.red.of(v), l.green.of(v), l.blue.of(v));
            if (!solid) dst[x] = options.visible(dst[x], l.alpha.of(v));
            opaque = opaque && solid;
        }
    }
    if (!opaque && !options.ignoreAlpha && !options.matte) return PictureError::transparent;
    out = std::move(picture);
    return PictureError::none;
}

}  // namespace

PictureError loadBmpVariant(std::span<const std::uint8_t> file, Picture& out, const ReadOptions& options,
                            PictureDetail* detail) {
    out = Picture{};
    PictureDetail scratch;
    ByteReader in(file);
    Layout l;
    if (PictureError e = readLayout(file, in, l, detail != nullptr ? *detail : scratch); e != PictureError::none) {
        return e;
    }
    if (l.compression == kBmpCompressionRle8 || l.compression == kCompressionRle4) {
        in.seek(l.pixelOffset);
        return decodeBmpRle(in, l.bits, l.palette, l.width, l.height, out);
    }
    return readRows(file, l, options, out);
}

}  // namespace qm5
