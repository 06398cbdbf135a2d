#include "formats/tga_reader.hpp"

#include <utility>

#include "core/byte_reader.hpp"
#include "core/heap_array.hpp"

namespace qm5 {

namespace {

constexpr std::uint8_t kTgaColourMapped = 1;
constexpr std::uint8_t kTgaTrueColour = 2;
constexpr std::uint8_t kTgaGrey = 3;
constexpr std::uint8_t kTgaRunLength = 8;  // added to the three types above
constexpr std::uint8_t kTgaTopDown = 0x20;
constexpr std::uint8_t kTgaRightToLeft = 0x10;
constexpr std::uint8_t kTgaInterleave = 0xC0;
// Run-length pictures of more than this many pixels need a data byte per
// kTgaPixelsPerByte pixels (a packet of 2 bytes gives at most 128).
constexpr std::uint64_t kTgaFreePixels = 65536;
constexpr std::uint64_t kTgaPixelsPerByte = 64;
constexpr std::uint32_t kOpaque = 0xFFu << 24;

struct TgaHeader {
    std::uint8_t idLength, mapType, imageType;
    std::uint16_t mapFirst, mapLength;
    std::uint8_t mapEntryBits;
    std::uint16_t width, height;
    std::uint8_t depth, descriptor;

    std::uint8_t baseType() const { return imageType & 7; }
    bool runLength() const { return (imageType & kTgaRunLength) != 0; }
    // Whether the alpha of 16- and 32-bit values means anything.
    bool hasAlpha() const { return (descriptor & 0x0F) != 0; }
};

TgaHeader readHeader(ByteReader& in) {
    TgaHeader h{};
    h.idLength = *in.readU8();
    h.mapType = *in.readU8();
    h.imageType = *in.readU8();
    h.mapFirst = *in.readU16();
    h.mapLength = *in.readU16();
    h.mapEntryBits = *in.readU8();
    in.skip(4);  // origin
    h.width = *in.readU16();
    h.height = *in.readU16();
    h.depth = *in.readU8();
    h.descriptor = *in.readU8();
    return h;
}

bool knownType(std::uint8_t type) {
    const std::uint8_t base = type & static_cast<std::uint8_t>(~kTgaRunLength);
    return base == kTgaColourMapped || base == kTgaTrueColour || base == kTgaGrey;
}

unsigned bytesOf(unsigned bits) { return (bits + 7) / 8; }

// Colour (bits 0..23) and alpha (bits 24..31) of one stored value of `bits`
// bits: grey for a grey picture, else blue, green, red, then alpha.
std::uint32_t colourOf(const std::uint8_t* p, unsigned bits, bool grey, bool alpha) {
    std::uint32_t c = 0;
    if (grey) {
        c = packRgb(p[0], p[0], p[0]) | (bits == 16 ? std::uint32_t{p[1]} << 24 : kOpaque);
    } else if (bits == 15 || bits == 16) {
        const std::uint32_t v = p[0] | (std::uint32_t{p[1]} << 8);
        c = packRgb(scaleTo8((v >> 10) & 31, 5), scaleTo8((v >> 5) & 31, 5), scaleTo8(v & 31, 5)) |
            (bits == 16 && (v & 0x8000) == 0 ? 0 : kOpaque);
    } else {
        c = packRgb(p[2], p[1], p[0]) | (bits == 32 ? std::uint32_t{p[3]} << 24 : kOpaque);
    }
    return alpha ? c : (c | kOpaque);
}

// Checks the type and depth, naming what is not read.
PictureError checkLayout(const TgaHeader& h, PictureDetail& why) {
    const auto variant = [&why](const char* format, unsigned value) {
        why.print(format, value);
        return PictureError::unsupported;
    };
    if (h.imageType == 0) return variant("TGA of type %u (no image)", 0);
    if (h.imageType == 32 || h.imageType == 33) return variant("Huffman-coded TGA (type %u)", h.imageType);
    if (!knownType(h.imageType) || h.mapType > 1) return PictureError::notPicture;
    if ((h.descriptor & kTgaInterleave) != 0) return variant("interleaved TGA (descriptor 0x%02X)", h.descriptor);
    if (h.mapType == 1 && h.mapEntryBits != 15 && h.mapEntryBits != 16 && h.mapEntryBits != 24 &&
        h.mapEntryBits != 32) {
        return variant("TGA with %u-bit colour map entries", h.mapEntryBits);
    }
    switch (h.baseType()) {
        case kTgaColourMapped:
            if (h.mapType != 1) return PictureError::malformed;
            if (h.depth != 8) return variant("%u-bit colour-mapped TGA", h.depth);
            break;
        case kTgaTrueColour:
            if (h.depth != 15 && h.depth != 16 && h.depth != 24 && h.depth != 32) {
                return variant("%u-bit true-colour TGA", h.depth);
            }
            break;
        default:
            if (h.depth != 8 && h.depth != 16) return variant("%u-bit grey TGA", h.depth);
            break;
    }
    if (h.width > kMaxSide || h.height > kMaxSide) return PictureError::tooLarge;
    return PictureError::none;
}

// Where the k-th stored pixel goes.
struct Placement {
    std::uint32_t width, height;
    bool topDown, rightToLeft;
    std::size_t at(std::uint64_t k) const {
        const std::uint64_t row = k / width, column = k % width;
        const std::uint64_t y = topDown ? row : height - 1 - row;
        const std::uint64_t x = rightToLeft ? width - 1 - column : column;
        return static_cast<std::size_t>(y * width + x);
    }
};

}  // namespace

void measureTga(std::span<const std::uint8_t> file, PictureExtent& extent) {
    if (file.size() < kTgaHeaderSize) {
        extent.need = extent.end = kTgaHeaderSize;
        return;
    }
    ByteReader in(file);
    const TgaHeader h = readHeader(in);
    extent.done = true;
    extent.need = 0;
    extent.kind = PictureEnd::exact;
    extent.end = kTgaHeaderSize;
    PictureDetail unused;
    if (checkLayout(h, unused) != PictureError::none) return;
    const std::uint64_t start = kTgaHeaderSize + std::uint64_t{h.idLength} +
                                (h.mapType == 1 ? std::uint64_t{h.mapLength} * bytesOf(h.mapEntryBits) : 0);
    const std::uint64_t pixels = std::uint64_t{h.width} * h.height;
    extent.sized = true;
    extent.width = h.width;
    extent.height = h.height;
    // Run-length data take at most a packet byte more per pixel.
    if (h.runLength()) extent.kind = PictureEnd::bound;
    extent.end = start + pixels * (bytesOf(h.depth) + (h.runLength() ? 1 : 0));
}

bool looksLikeTga(std::span<const std::uint8_t> b) {
    if (b.size() < kTgaHeaderSize || b[1] > 1) return false;
    if (!knownType(b[2]) && b[2] != 32 && b[2] != 33) return false;
    if (b[1] == 1 && b[7] != 15 && b[7] != 16 && b[7] != 24 && b[7] != 32) return false;
    const std::uint8_t depth = b[16];
    return depth == 1 || depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
}

PictureError loadTga(std::span<const std::uint8_t> file, Picture& out, const ReadOptions& options,
                     PictureDetail* detail) {
    out = Picture{};
    PictureDetail scratch;
    PictureDetail& why = detail != nullptr ? *detail : scratch;
    ByteReader in(file);
    if (file.size() < kTgaHeaderSize) return PictureError::truncated;
    const TgaHeader h = readHeader(in);
    if (PictureError e = checkLayout(h, why); e != PictureError::none) return e;

    const bool grey = h.baseType() == kTgaGrey;
    HeapArray<std::uint32_t> map;  // colour and alpha of each map entry
    if (!in.skip(h.idLength)) return PictureError::truncated;
    if (h.mapType == 1) {
        auto entries = in.readSpan(std::uint64_t{h.mapLength} * bytesOf(h.mapEntryBits));
        if (!entries) return PictureError::truncated;
        if (h.baseType() == kTgaColourMapped) {
            if (!map.allocate(h.mapLength)) return PictureError::outOfMemory;
            for (std::size_t i = 0; i < h.mapLength; ++i) {
                map[i] = colourOf(entries->data() + i * bytesOf(h.mapEntryBits), h.mapEntryBits, false, h.hasAlpha());
            }
        }
    }

    // Checked before allocating: uncompressed data must be all there; run-
    // length data must be able to reach every pixel.
    const unsigned pixelBytes = bytesOf(h.depth);
    const std::uint64_t count = std::uint64_t{h.width} * h.height;
    if (!h.runLength() && count * pixelBytes > in.remaining()) return PictureError::truncated;
    if (h.runLength() && count > kTgaFreePixels && count > kTgaPixelsPerByte * in.remaining()) {
        return PictureError::truncated;
    }
    Picture picture;
    if (!picture.allocate(h.width, h.height)) return PictureError::outOfMemory;

    const Placement place{h.width, h.height, (h.descriptor & kTgaTopDown) != 0, (h.descriptor & kTgaRightToLeft) != 0};
    bool opaque = true;
    bool inMap = true;
    const auto colour = [&](const std::uint8_t* p) {
        std::uint32_t c;
        if (h.baseType() == kTgaColourMapped) {
            const std::uint32_t entry = p[0] - std::uint32_t{h.mapFirst};
            if (p[0] < h.mapFirst || entry >= h.mapLength) {
                inMap = false;
                return 0u;
            }
            c = map[entry];
        } else {
            c = colourOf(p, h.depth, grey, h.hasAlpha());
        }
        opaque = opaque && (c >> 24) == 0xFF;
        return c & 0xFFFFFF;
    };
    std::uint32_t* pixels = picture.pixels.data();
    for (std::uint64_t k = 0; k < count;) {
        if (!h.runLength()) {
            pixels[place.at(k++)] = colour(in.readSpan(pixelBytes)->data());
            continue;
        }
        const auto packet = in.readU8();
        if (!packet) return PictureError::truncated;
        const std::uint64_t n = (*packet & 0x7F) + 1u;
        if ((*packet & 0x80) != 0) {
            const auto value = in.readSpan(pixelBytes);
            if (!value) return PictureError::truncated;
            const std::uint32_t c = colour(value->data());
            for (std::uint64_t i = 0; i < n && k < count; ++i) pixels[place.at(k++)] = c;
        } else {
            for (std::uint64_t i = 0; i < n && k < count; ++i) {
                const auto value = in.readSpan(pixelBytes);
                if (!value) return PictureError::truncated;
                pixels[place.at(k++)] = colour(value->data());
            }
        }
    }
    if (!inMap) {
        why.set("a pixel index outside the colour map");
        return PictureError::malformed;
    }
    if (!opaque && !options.ignoreAlpha) return PictureError::transparent;
    out = std::move(picture);
    return PictureError::none;
}

}  // namespace qm5
