#include "texture/texture_format.hpp"

namespace qm5 {

void TextureHeader::store(std::uint8_t out[kTextureHeaderSize]) const {
    out[0] = magic[0];
    out[1] = magic[1];
    out[2] = magic[2];
    out[3] = reserved0;
    storeU16(out + 4, static_cast<std::uint16_t>(version));
    storeU16(out + 6, colourCount);
    storeU16(out + 8, mipmapCount);
    storeU16(out + 10, imageCount);
    storeU16(out + 12, compression);
    storeU16(out + 14, width);
    storeU16(out + 16, height);
    storeU16(out + 18, reserved1);
}

std::optional<TextureHeader> TextureHeader::read(ByteReader& in) {
    auto bytes = in.readSpan(kTextureHeaderSize);
    if (!bytes) return std::nullopt;
    ByteReader r(*bytes);
    TextureHeader h;
    h.magic[0] = *r.readU8();
    h.magic[1] = *r.readU8();
    h.magic[2] = *r.readU8();
    h.reserved0 = *r.readU8();
    h.version = *r.readI16();
    h.colourCount = *r.readU16();
    h.mipmapCount = *r.readU16();
    h.imageCount = *r.readU16();
    h.compression = *r.readU16();
    h.width = *r.readU16();
    h.height = *r.readU16();
    h.reserved1 = *r.readU16();
    return h;
}

LayoutCheck checkTextureLayout(std::span<const std::uint8_t> file) {
    LayoutCheck check;
    const auto problem = [&check](TextureProblemKind kind, std::uint64_t offset, std::int64_t value = 0,
                                  std::int64_t expected = 0) {
        TextureProblem& p = check.problems[check.problemCount++];
        p.kind = kind;
        p.offset = offset;
        p.value = value;
        p.expected = expected;
    };
    ByteReader in(file);
    const auto header = TextureHeader::read(in);
    if (!header) {
        problem(TextureProblemKind::truncatedHeader, 0, static_cast<std::int64_t>(file.size()));
        return check;
    }
    TextureLayout& layout = check.layout;
    layout.header = *header;
    check.headerRead = true;
    if (!header->hasMagic()) {
        problem(TextureProblemKind::badMagic, 0);
        return check;
    }
    if (header->version != kTextureVersion) {
        problem(TextureProblemKind::badVersion, kVersionOffset, header->version, kTextureVersion);
        return check;
    }
    // The reader takes the counts and sizes as signed 16-bit values.
    const struct {
        std::int32_t value;
        std::uint64_t offset;
    } fields[] = {{header->signedColourCount(), kColourCountOffset},
                  {header->signedWidth(), kWidthOffset},
                  {header->signedHeight(), kHeightOffset}};
    for (const auto& field : fields) {
        if (field.value < 0) problem(TextureProblemKind::negativeField, field.offset, field.value);
    }
    if (check.problemCount > 0) return check;

    layout.colourCount = header->signedColourCount();
    layout.width = header->signedWidth();
    layout.height = header->signedHeight();
    layout.pixelCount = static_cast<std::uint64_t>(layout.width) * static_cast<std::uint64_t>(layout.height);
    layout.positionBits = positionBitCount(layout.pixelCount);
    check.sizesKnown = true;
    // No pixel or no colour: nothing a reader could paint. The palette is
    // still looked at, so that a report can say what else is wrong.
    if (layout.pixelCount == 0) problem(TextureProblemKind::zeroSize, layout.width == 0 ? kWidthOffset : kHeightOffset);
    if (layout.colourCount == 0) problem(TextureProblemKind::noColours, kColourCountOffset);
    layout.paletteOffset = in.offset();
    const auto palette = in.readSpan(static_cast<std::uint64_t>(layout.colourCount) * kPaletteEntrySize);
    if (!palette) {
        problem(TextureProblemKind::paletteTruncated, layout.paletteOffset);
        return check;
    }
    layout.palette = *palette;
    layout.imagesOffset = in.offset();
    return check;
}

int positionBitCount(std::uint64_t pixelCount) {
    int b = 0;
    while (b < 63 && (std::uint64_t{1} << b) < pixelCount) ++b;
    return b;
}

bool CubeStreamWriter::put(CubeMasks cube) {
    const std::uint64_t bits = 2u * static_cast<std::uint64_t>(b_);
    if (bit_ + bits > static_cast<std::uint64_t>(out_.size()) * 8u) return false;
    if (b_ <= 0) return true;
    // Each mask most significant bit first: reversed, the stream's first bit
    // is the value's lowest, and at most 32 + 7 bits land in a few bytes.
    for (const std::uint32_t mask : {cube.zero, cube.one}) {
        std::uint64_t value = std::uint64_t{reversedLowBits(mask, b_)} << (bit_ & 7);
        for (std::uint64_t at = bit_ >> 3; value != 0; ++at, value >>= 8) out_[at] |= static_cast<std::uint8_t>(value);
        bit_ += static_cast<std::uint64_t>(b_);
    }
    return true;
}

}  // namespace qm5
