#pragma once
// What can be wrong with a texture, found by any reader: the check of its
// header and palette (texture_format.hpp), the decoder (texture_decoder.hpp)
// and the inspection behind qm5 info (texture_info.hpp) all report a
// TextureProblem, and describeProblem is the one place that puts one into
// words, so that every program says the same thing about the same fault.

#include <cstddef>
#include <cstdint>

namespace qm5 {

struct TextureHeader;

// The kinds of problem, closed: a reader that finds another fault names it
// with one of these. value and expected mean what each kind says; offset is
// the file offset of the item at fault.
enum class TextureProblemKind {
    none,
    // The header and the palette.
    truncatedHeader,   // fewer than 20 bytes; value = the bytes there are
    badMagic,          // the file does not start with q, m, 5
    badVersion,        // value = the version, expected = 100
    negativeField,     // the colour count, width or height (offset 6, 14 or 16); value = it
    zeroSize,          // width or height 0 (offset: the first that is): no pixel to paint
    noColours,         // colour count 0
    noImages,          // image count 0 (the classic reader still reads image 0)
    paletteTruncated,  // the palette runs past the end of the file
    // The images.
    imageTruncated,    // a plain image runs past the end; value = bytes present, expected = bytes needed
    recordTruncated,   // a record's head or data runs past the end of the file
    wrongBitCount,     // a general record's b (offset: its byte); value = b, expected = the b of W x H
    cubeBothMasks,     // a cube with a bit in both masks: the first in `cube`, value = those bits
    zeroCube,          // a cube with both masks zero that is not fill: the first in `cube`
    fillBits,          // bits set after the last cube of a record
    indexOutOfRange,   // a plain index >= K (the first at offset); value = the index
    trailingBytes,     // value = bytes after the last image; expected = -1 when a stream may hold more
    noSuchImage,       // `image` asked for, which the texture does not hold; expected = the images it counts
    // What a reader's limits refuse.
    tooLarge,          // value = W x H, expected = the pixel limit
    tooMuchWork,       // value = painting steps per pixel (rounded up), expected = the limit
    outOfMemory,       // memory to decode the texture (image: that image's picture) could not be had
};

struct TextureProblem {
    TextureProblemKind kind = TextureProblemKind::none;
    std::int64_t image = -1;   // -1: the header or the palette
    std::int64_t record = -1;  // the colour record of a compressed image, or -1
    std::uint64_t offset = 0;
    std::int64_t value = 0;
    std::int64_t expected = 0;
    // For faults counted in a record's cubes or an image's indices: the
    // first such cube (-1: none) and how many there are.
    std::int64_t cube = -1;
    std::uint64_t count = 1;

    // There is a problem.
    explicit operator bool() const { return kind != TextureProblemKind::none; }
};

// The problem of a texture with this header in words, without the file's
// name or a line end, for example "record 12 of image 0 runs past the end of
// the file"; the header gives the sizes some texts name. Returns out.
const char* describeProblem(const TextureHeader& header, const TextureProblem& problem, char* out, std::size_t size);

// The same into a buffer of its own, for a message of one line.
struct ProblemText {
    char text[256];
};
ProblemText describeProblem(const TextureHeader& header, const TextureProblem& problem);

}  // namespace qm5
