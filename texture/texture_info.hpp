#pragma once
// Inspection of a texture file: the header as stored, where each image lies
// and what its records are, and every place where the file departs from the
// layout the maker writes (texture/texture_format.hpp). Unlike the decoder,
// which stops at the first fault it cannot read past, the inspection goes on
// as long as the lengths in the file let it find the next item, so that one
// report lists every problem it can.

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

enum class TextureProblemKind {
    truncatedHeader,  // fewer than 20 bytes; value = file size
    badMagic,         // the file does not start with q, m, 5
    badVersion,       // value = the version
    negativeField,    // value = the field, offset = its place in the header (6, 14 or 16)
    zeroSize,         // width or height 0
    noColours,        // colour count 0
    noImages,         // image count 0
    paletteTruncated, // the palette runs past the end of the file
    imageTruncated,   // a plain image runs past the end; value = bytes present, expected = bytes needed
    recordTruncated,  // a record's head or data runs past the end of the file
    wrongBitCount,    // a general record's b; value = b, expected = the b of W x H
    cubeBothMasks,    // first such cube of the record in `cube`, value = the bits in both masks, count = such cubes
    zeroCube,         // a cube with both masks zero that is not fill; first in `cube`, count = such cubes
    fillBits,         // bits set after the last cube of a record
    indexOutOfRange,  // a plain pixel's index >= K: first at `position`, value = index, count = such pixels
    trailingBytes,    // value = bytes after the last image
};

struct TextureProblem {
    TextureProblemKind kind = TextureProblemKind::truncatedHeader;
    std::int64_t image = -1;   // -1: header or palette
    std::int64_t record = -1;  // colour record (compressed images), -1 otherwise
    std::int64_t cube = -1;
    std::uint64_t position = 0;
    std::uint64_t offset = 0;  // file offset of the item at fault
    std::int64_t value = 0;
    std::int64_t expected = 0;
    std::uint64_t count = 1;
};

struct ImageSummary {
    std::uint64_t offset = 0;  // of its first byte
    std::uint64_t bytes = 0;   // that lie inside the file
    bool complete = false;     // false: the file ends inside this image
    std::uint32_t emptyRecords = 0;
    std::uint32_t wholeRecords = 0;
    std::uint32_t generalRecords = 0;
    std::uint64_t cubes = 0;  // in general records, fill cubes not counted
};

// Problems kept in full; more are only counted.
inline constexpr std::size_t kMaxKeptProblems = 100;

struct TextureInfo {
    std::uint64_t fileSize = 0;
    bool sizeKnown = true;  // false: a stream that goes on; fileSize is a lower bound
    bool headerRead = false;  // header holds the 20 bytes as stored
    bool layoutKnown = false; // magic, version and sizes let the images be found
    TextureHeader header;
    std::uint64_t pixelCount = 0;  // P = W x H
    int positionBits = 0;          // b for P
    std::uint64_t paletteOffset = kTextureHeaderSize;
    HeapArray<ImageSummary> images;  // one per image the header counts
    std::size_t imagesReached = 0;   // images whose summary is filled
    HeapArray<TextureProblem> problems;
    std::size_t keptProblems = 0;
    std::uint64_t problemCount = 0;  // all found, kept or not

    bool valid() const { return problemCount == 0; }
    std::span<const TextureProblem> kept() const { return {problems.data(), keptProblems}; }
};

// Walks the whole file. file may be the start of a longer input, read as
// far as the texture reaches (texture/texture_input.hpp): following bytes
// come after it, and with sizeKnown false yet more may. False only when
// memory for the report ran out.
bool inspectTexture(std::span<const std::uint8_t> file, TextureInfo& info, std::uint64_t following = 0,
                    bool sizeKnown = true);

// The problem in words, without file name or line end, for example
// "record 12 of image 0 runs past the end of the file". Returns out.
const char* describeProblem(const TextureInfo& info, const TextureProblem& problem, char* out, std::size_t size);

}  // namespace qm5
