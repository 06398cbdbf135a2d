#include "texture/texture_info.hpp"

#include <bit>
#include <cinttypes>
#include <cstdio>

#include "core/byte_reader.hpp"

namespace qm5 {

namespace {

TextureProblemKind problemOf(LayoutError error) {
    switch (error) {
        case LayoutError::headerCut: return TextureProblemKind::truncatedHeader;
        case LayoutError::badMagic: return TextureProblemKind::badMagic;
        case LayoutError::badVersion: return TextureProblemKind::badVersion;
        case LayoutError::negativeField: return TextureProblemKind::negativeField;
        case LayoutError::none:
        case LayoutError::emptyField:
        case LayoutError::paletteCut: break;
    }
    return TextureProblemKind::paletteTruncated;
}

class Inspector {
public:
    Inspector(std::span<const std::uint8_t> file, TextureInfo& info, std::uint64_t following)
        : file_(file), in_(file), info_(info), following_(following) {}

    bool run();

private:
    void add(const TextureProblem& problem) {
        ++info_.problemCount;
        if (info_.keptProblems < info_.problems.size()) info_.problems[info_.keptProblems++] = problem;
    }
    TextureProblem at(TextureProblemKind kind, std::int64_t image, std::int64_t record, std::uint64_t offset) const {
        TextureProblem p;
        p.kind = kind;
        p.image = image;
        p.record = record;
        p.offset = offset;
        return p;
    }
    // False when the file ends inside the image: nothing after it can be found.
    bool plainImage(std::int64_t image, ImageSummary& summary);
    bool compressedImage(std::int64_t image, ImageSummary& summary);
    void checkCubes(std::span<const std::uint8_t> data, int b, std::int64_t image, std::int64_t record,
                    std::uint64_t offset, ImageSummary& summary);

    std::span<const std::uint8_t> file_;
    ByteReader in_;
    TextureInfo& info_;
    std::uint64_t following_;  // bytes of the input after file_
    std::int32_t colourCount_ = 0;
};

bool Inspector::run() {
    info_.fileSize = in_.size() + following_;
    if (!info_.problems.allocate(kMaxKeptProblems)) return false;
    const LayoutCheck check = checkTextureLayout(file_);
    const TextureLayout& layout = check.layout;
    info_.header = layout.header;
    info_.headerRead = check.headerRead;
    if (check.sizesKnown) {
        colourCount_ = layout.colourCount;
        info_.pixelCount = layout.pixelCount;
        info_.positionBits = layout.positionBits;
        info_.layoutKnown = true;
        if (info_.pixelCount == 0) add(at(TextureProblemKind::zeroSize, -1, -1, kWidthOffset));
        if (colourCount_ == 0) add(at(TextureProblemKind::noColours, -1, -1, kColourCountOffset));
        if (layout.header.imageCount == 0) add(at(TextureProblemKind::noImages, -1, -1, kImageCountOffset));
        info_.paletteOffset = layout.paletteOffset;
    }
    // Empty fields were reported above, once for both sides; the images of
    // such a texture can still be walked (they hold no record or index).
    bool walkable = true;
    for (const LayoutFault& fault : check.allFaults()) {
        if (fault.error == LayoutError::emptyField) continue;
        walkable = false;
        TextureProblem p = at(problemOf(fault.error), -1, -1, fault.offset);
        p.value = fault.value;
        add(p);
    }
    if (!walkable) return true;

    in_.seek(layout.imagesOffset);
    if (!info_.images.allocate(layout.header.imageCount)) return false;
    for (std::size_t i = 0; i < info_.images.size(); ++i) {
        ImageSummary& summary = info_.images[i];
        summary.offset = in_.offset();
        info_.imagesReached = i + 1;
        const bool complete = layout.compressed() ? compressedImage(static_cast<std::int64_t>(i), summary)
                                                  : plainImage(static_cast<std::int64_t>(i), summary);
        summary.complete = complete;
        summary.bytes = in_.offset() - summary.offset;
        if (!complete) return true;
    }
    if (!in_.atEnd() || following_ > 0) {
        TextureProblem p = at(TextureProblemKind::trailingBytes, -1, -1, in_.offset());
        p.value = static_cast<std::int64_t>(in_.remaining() + following_);
        add(p);
    }
    return true;
}

bool Inspector::plainImage(std::int64_t image, ImageSummary&) {
    const bool wide = plainIndexBytes(static_cast<std::uint64_t>(colourCount_)) == 2;
    const std::uint64_t need = info_.pixelCount * (wide ? 2u : 1u);
    const std::uint64_t start = in_.offset();
    auto bytes = in_.readSpan(need);
    if (!bytes) {
        TextureProblem p = at(TextureProblemKind::imageTruncated, image, -1, start);
        p.value = static_cast<std::int64_t>(in_.remaining());
        p.expected = static_cast<std::int64_t>(need);
        in_.seek(in_.size());
        add(p);
        return false;
    }
    // One-byte indices are all valid once the palette has 256 colours.
    if (!wide && colourCount_ >= 256) return true;
    TextureProblem bad = at(TextureProblemKind::indexOutOfRange, image, -1, start);
    bad.count = 0;
    for (std::uint64_t p = 0; p < info_.pixelCount; ++p) {
        // As the reader takes them: unsigned bytes, signed 16-bit values.
        const std::int32_t index = wide ? static_cast<std::int16_t>((*bytes)[2 * p] | ((*bytes)[2 * p + 1] << 8))
                                        : (*bytes)[p];
        if (index >= 0 && index < colourCount_) continue;
        if (bad.count++ == 0) {
            bad.position = p;
            bad.value = index;
            bad.offset = start + p * (wide ? 2u : 1u);
        }
    }
    if (bad.count > 0) add(bad);
    return true;
}

bool Inspector::compressedImage(std::int64_t image, ImageSummary& summary) {
    const int expectedBits = info_.positionBits;
    for (std::int32_t c = 0; c < colourCount_; ++c) {
        const std::uint64_t start = in_.offset();
        auto headBytes = in_.readSpan(kRecordHeadSize);
        if (!headBytes) {
            in_.seek(in_.size());
            add(at(TextureProblemKind::recordTruncated, image, c, start));
            return false;
        }
        const RecordHead head = RecordHead::from(*headBytes);
        if (head.isEmpty()) {
            ++summary.emptyRecords;
            continue;
        }
        if (head.isWhole()) {
            ++summary.wholeRecords;
            continue;
        }
        ++summary.generalRecords;
        const int b = head.bitCount();
        // b = 0 with a one-pixel picture matches, but no general record can
        // have it: its cubes would have no bits.
        if (b != expectedBits || b == 0) {
            TextureProblem p = at(TextureProblemKind::wrongBitCount, image, c, start + 2);
            p.value = b;
            p.expected = expectedBits;
            add(p);
        }
        auto data = in_.readSpan(head.dataLength());
        if (!data) {
            in_.seek(in_.size());
            add(at(TextureProblemKind::recordTruncated, image, c, start));
            return false;
        }
        if (b >= 1 && b <= kMaxPositionBits) checkCubes(*data, b, image, c, start, summary);
    }
    return true;
}

void Inspector::checkCubes(std::span<const std::uint8_t> data, int b, std::int64_t image, std::int64_t record,
                           std::uint64_t offset, ImageSummary& summary) {
    const std::uint64_t n = cubeCountOf(data.size(), b);
    const std::uint64_t cubeBits = 2u * static_cast<std::uint64_t>(b);
    const std::uint64_t dataBits = 8u * data.size();
    // For b <= 3 the zero bits that pad the last byte can read as whole
    // cubes: a trailing run of zero cubes that starts inside the last byte
    // is fill, not content.
    std::uint64_t used = n;
    if (b <= 3) {
        while (used > 0 && cubeBits * (used - 1) + 8 > dataBits) {
            const CubeMasks cube = readCube(data, b, used - 1);
            if (cube.zero != 0 || cube.one != 0) break;
            --used;
        }
    }
    TextureProblem both = at(TextureProblemKind::cubeBothMasks, image, record, offset);
    TextureProblem zero = at(TextureProblemKind::zeroCube, image, record, offset);
    both.count = zero.count = 0;
    for (std::uint64_t k = 0; k < used; ++k) {
        const CubeMasks cube = readCube(data, b, k);
        if ((cube.zero & cube.one) != 0 && both.count++ == 0) {
            both.cube = static_cast<std::int64_t>(k);
            both.value = cube.zero & cube.one;
        }
        if (cube.zero == 0 && cube.one == 0 && zero.count++ == 0) zero.cube = static_cast<std::int64_t>(k);
    }
    summary.cubes += used;
    if (both.count > 0) add(both);
    if (zero.count > 0) add(zero);
    for (std::uint64_t q = cubeBits * n; q < dataBits; ++q) {
        if (((data[q >> 3] >> (q & 7)) & 1u) != 0) {
            add(at(TextureProblemKind::fillBits, image, record, offset));
            break;
        }
    }
}

// "record 3 of image 0", "cube 2 of record 3 of image 0"
void place(const TextureProblem& p, char* out, std::size_t size) {
    if (p.cube >= 0) {
        std::snprintf(out, size, "cube %" PRId64 " of record %" PRId64 " of image %" PRId64, p.cube, p.record,
                      p.image);
    } else {
        std::snprintf(out, size, "record %" PRId64 " of image %" PRId64, p.record, p.image);
    }
}

// A problem inside a record, named by its place.
void describeRecordProblem(const TextureInfo& info, const TextureProblem& p, char* out, std::size_t size) {
    char where[96];
    place(p, where, sizeof where);
    const std::int32_t width = info.header.signedWidth();
    const std::int32_t height = info.header.signedHeight();
    switch (p.kind) {
        case TextureProblemKind::recordTruncated:
            std::snprintf(out, size, "%s runs past the end of the file", where);
            break;
        case TextureProblemKind::wrongBitCount:
            if (p.value == 0 && p.expected == 0) {
                std::snprintf(out, size, "%s is a general record with b = 0 (a one-pixel picture has only empty "
                              "and whole records)", where);
            } else {
                std::snprintf(out, size, "%s has b = %" PRId64 ", want %" PRId64 " for %d x %d pixels", where, p.value,
                              p.expected, width, height);
            }
            break;
        case TextureProblemKind::cubeBothMasks: {
            const int bit = std::countr_zero(static_cast<std::uint64_t>(p.value));
            if (p.count > 1) {
                std::snprintf(out, size, "%s has position bit %d in both masks (%" PRIu64 " such cubes in the record)",
                              where, bit, p.count);
            } else {
                std::snprintf(out, size, "%s has position bit %d in both masks", where, bit);
            }
            break;
        }
        case TextureProblemKind::zeroCube:
            if (p.count > 1) {
                std::snprintf(out, size, "%s has both masks zero (%" PRIu64 " such cubes in the record)", where,
                              p.count);
            } else {
                std::snprintf(out, size, "%s has both masks zero", where);
            }
            break;
        case TextureProblemKind::fillBits:
            std::snprintf(out, size, "%s has bits set after its last cube", where);
            break;
        default: break;
    }
}

}  // namespace

bool inspectTexture(std::span<const std::uint8_t> file, TextureInfo& info, std::uint64_t following, bool sizeKnown) {
    info = TextureInfo{};
    info.sizeKnown = sizeKnown;
    return Inspector(file, info, following).run();
}

const char* describeProblem(const TextureInfo& info, const TextureProblem& p, char* out, std::size_t size) {
    if (size == 0) return out;
    const std::int32_t width = info.header.signedWidth();
    const std::int32_t height = info.header.signedHeight();
    switch (p.kind) {
        case TextureProblemKind::truncatedHeader:
            std::snprintf(out, size, "the file ends inside the 20-byte header (it holds %" PRId64 " bytes)", p.value);
            break;
        case TextureProblemKind::badMagic:
            std::snprintf(out, size, "not a Qm5 texture (the file does not start with q, m, 5)");
            break;
        case TextureProblemKind::badVersion:
            std::snprintf(out, size, "version %" PRId64 ", want %d", p.value, kTextureVersion);
            break;
        case TextureProblemKind::negativeField: {
            const char* field = p.offset == kColourCountOffset ? "colour count"
                                : p.offset == kWidthOffset      ? "width"
                                                                : "height";
            std::snprintf(out, size, "the %s %" PRId64 " is negative", field, p.value);
            break;
        }
        case TextureProblemKind::zeroSize:
            std::snprintf(out, size, "the picture size %d x %d holds no pixels", width, height);
            break;
        case TextureProblemKind::noColours:
            std::snprintf(out, size, "the palette is empty (colour count 0)");
            break;
        case TextureProblemKind::noImages:
            std::snprintf(out, size, "the image count is 0");
            break;
        case TextureProblemKind::paletteTruncated:
            std::snprintf(out, size, "the palette of %d colours runs past the end of the file",
                          info.header.signedColourCount());
            break;
        case TextureProblemKind::imageTruncated:
            std::snprintf(out, size, "image %" PRId64 " runs past the end of the file (%" PRId64 " of %" PRId64
                          " bytes present)", p.image, p.value, p.expected);
            break;
        case TextureProblemKind::recordTruncated:
        case TextureProblemKind::wrongBitCount:
        case TextureProblemKind::cubeBothMasks:
        case TextureProblemKind::zeroCube:
        case TextureProblemKind::fillBits: describeRecordProblem(info, p, out, size); break;
        case TextureProblemKind::indexOutOfRange: {
            const std::uint64_t w = width > 0 ? static_cast<std::uint64_t>(width) : 1;
            const int written = std::snprintf(out, size,
                                              "pixel (%" PRIu64 ", %" PRIu64 ") of image %" PRId64 " has index %" PRId64
                                              ", want below %d",
                                              p.position % w, p.position / w, p.image, p.value,
                                              info.header.signedColourCount());
            if (p.count > 1 && written > 0 && static_cast<std::size_t>(written) < size) {
                std::snprintf(out + written, size - static_cast<std::size_t>(written),
                              " (%" PRIu64 " such pixels in the image)", p.count);
            }
            break;
        }
        case TextureProblemKind::trailingBytes:
            std::snprintf(out, size, "%s%" PRId64 " %s the last image", info.sizeKnown ? "" : "at least ", p.value,
                          p.value == 1 ? "byte follows" : "bytes follow");
            break;
    }
    return out;
}

}  // namespace qm5
