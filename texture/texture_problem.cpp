#include "texture/texture_problem.hpp"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdio>

#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

using Kind = TextureProblemKind;

// "record 3 of image 0", "cube 2 of record 3 of image 0"
void place(const TextureProblem& p, char* out, std::size_t size) {
    if (p.cube >= 0) {
        std::snprintf(out, size, "cube %" PRId64 " of record %" PRId64 " of image %" PRId64, p.cube, p.record,
                      p.image);
    } else {
        std::snprintf(out, size, "record %" PRId64 " of image %" PRId64, p.record, p.image);
    }
}

// " (5 such cubes in the record)" when there are more than one.
void suchCount(const TextureProblem& p, const char* what, char* out, std::size_t size) {
    if (p.count > 1) {
        std::snprintf(out, size, " (%" PRIu64 " such %s)", p.count, what);
    } else if (size > 0) {
        out[0] = '\0';
    }
}

// A problem inside a record, named by its place.
void describeRecordProblem(const TextureHeader& header, const TextureProblem& p, char* out, std::size_t size) {
    char where[96];
    place(p, where, sizeof where);
    char such[64];
    switch (p.kind) {
        case Kind::recordTruncated: std::snprintf(out, size, "%s runs past the end of the file", where); break;
        case Kind::wrongBitCount:
            if (p.value == 0 && p.expected == 0) {
                std::snprintf(out, size, "%s is a general record with b = 0 (a one-pixel picture has only empty "
                              "and whole records)", where);
            } else {
                std::snprintf(out, size, "%s has b = %" PRId64 ", want %" PRId64 " for %d x %d pixels", where, p.value,
                              p.expected, header.signedWidth(), header.signedHeight());
            }
            break;
        case Kind::cubeBothMasks:
            suchCount(p, "cubes in the record", such, sizeof such);
            std::snprintf(out, size, "%s has position bit %d in both masks%s", where,
                          std::countr_zero(static_cast<std::uint64_t>(p.value)), such);
            break;
        case Kind::zeroCube:
            suchCount(p, "cubes in the record", such, sizeof such);
            std::snprintf(out, size, "%s has both masks zero%s", where, such);
            break;
        default: std::snprintf(out, size, "%s has bits set after its last cube", where); break;
    }
}

// An index outside the palette: the pixel it stands for, from its offset
// (plain images lie one after another after the palette).
void describeIndex(const TextureHeader& header, const TextureProblem& p, char* out, std::size_t size) {
    const std::uint64_t colours = static_cast<std::uint64_t>(header.signedColourCount());
    const std::uint64_t width = header.signedWidth() > 0 ? static_cast<std::uint64_t>(header.signedWidth()) : 1;
    const std::uint64_t pixels = width * static_cast<std::uint64_t>(std::max(header.signedHeight(), 0));
    const std::uint64_t start = textureHeadSize(colours) + static_cast<std::uint64_t>(p.image) * pixels * plainIndexBytes(colours);
    const std::uint64_t position = (p.offset - start) / plainIndexBytes(colours);
    char such[64];
    suchCount(p, "pixels in the image", such, sizeof such);
    std::snprintf(out, size, "pixel (%" PRIu64 ", %" PRIu64 ") of image %" PRId64 " has index %" PRId64 ", want below %d%s",
                  position % width, position / width, p.image, p.value, header.signedColourCount(), such);
}

// The header's fields by the offset a problem names.
const char* fieldName(std::uint64_t offset) {
    return offset == kColourCountOffset ? "colour count" : offset == kWidthOffset ? "width" : "height";
}

}  // namespace

const char* describeProblem(const TextureHeader& header, const TextureProblem& p, char* out, std::size_t size) {
    if (size == 0) return out;
    const int width = header.signedWidth();
    const int height = header.signedHeight();
    switch (p.kind) {
        case Kind::none: std::snprintf(out, size, "no problem"); break;
        case Kind::truncatedHeader:
            std::snprintf(out, size, "the file ends inside the 20-byte header (it holds %" PRId64 " bytes)", p.value);
            break;
        case Kind::badMagic: std::snprintf(out, size, "not a Qm5 texture (the file does not start with q, m, 5)"); break;
        case Kind::badVersion: std::snprintf(out, size, "version %" PRId64 ", want %d", p.value, kTextureVersion); break;
        case Kind::negativeField:
            std::snprintf(out, size, "the %s %" PRId64 " is negative", fieldName(p.offset), p.value);
            break;
        case Kind::zeroSize: std::snprintf(out, size, "the picture size %d x %d holds no pixels", width, height); break;
        case Kind::noColours: std::snprintf(out, size, "the palette is empty (colour count 0)"); break;
        case Kind::noImages: std::snprintf(out, size, "the image count is 0"); break;
        case Kind::paletteTruncated:
            std::snprintf(out, size, "the palette of %d colours runs past the end of the file",
                          header.signedColourCount());
            break;
        case Kind::imageTruncated:
            std::snprintf(out, size, "image %" PRId64 " runs past the end of the file (%" PRId64 " of %" PRId64
                          " bytes present)", p.image, p.value, p.expected);
            break;
        case Kind::recordTruncated:
        case Kind::wrongBitCount:
        case Kind::cubeBothMasks:
        case Kind::zeroCube:
        case Kind::fillBits: describeRecordProblem(header, p, out, size); break;
        case Kind::indexOutOfRange: describeIndex(header, p, out, size); break;
        case Kind::trailingBytes:
            std::snprintf(out, size, "%s%" PRId64 " %s the last image", p.expected < 0 ? "at least " : "", p.value,
                          p.value == 1 ? "byte follows" : "bytes follow");
            break;
        case Kind::noSuchImage:
            std::snprintf(out, size, "has no image %" PRId64 "; it holds %" PRId64 " image%s", p.image, p.expected,
                          p.expected == 1 ? "" : "s");
            break;
        case Kind::tooLarge:
            std::snprintf(out, size, "%d x %d pixels exceed the limit of %" PRId64, width, height, p.expected);
            break;
        case Kind::tooMuchWork:
            std::snprintf(out, size, "image %" PRId64 " takes more than %" PRId64 " painting steps per pixel, the limit",
                          p.image, p.expected);
            break;
        case Kind::outOfMemory:
            if (p.image >= 0) {
                std::snprintf(out, size, "not enough memory to decode image %" PRId64, p.image);
            } else {
                std::snprintf(out, size, "not enough memory to decode");
            }
            break;
    }
    return out;
}

ProblemText describeProblem(const TextureHeader& header, const TextureProblem& problem) {
    ProblemText text;
    describeProblem(header, problem, text.text, sizeof text.text);
    return text;
}

}  // namespace qm5
