#pragma once
// Decoding a Qm5 texture (layout in texture/texture_format.hpp) back into
// pictures of palette colours. The decoder is bounds-safe and bounded: it
// checks every size and record of the images it is asked for against what
// the file holds, and their cost against the caller's limits, before it
// allocates or paints anything, so a malformed or hostile file gives a
// TextureProblem and never a crash, an unbounded allocation or unbounded work.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "picture/picture.hpp"
#include "texture/texture_format.hpp"
#include "texture/texture_problem.hpp"

namespace qm5 {

// The qm5 command's limits. A valid texture of a few bytes can describe a
// picture of 32767 x 32767 pixels (4 GiB to decode, 3 GiB as a BMP), and a
// record of 64 KiB can hold thousands of cubes over most of the picture.
// The defaults pass every texture the maker writes for the pictures games
// use, with a wide margin (README, "Robustness").
inline constexpr std::uint64_t kDefaultMaxPixels = std::uint64_t{1} << 26;  // 8192 x 8192
inline constexpr std::uint64_t kDefaultMaxPaintWork = 4096;
inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

struct DecodeOptions {
    // Pictures of more pixels are refused (tooLarge) before anything is
    // allocated for them.
    std::uint64_t maxPixels = kDefaultMaxPixels;
    // Painting work of a compressed image, in painting steps per pixel: a
    // step is one word of 64 positions that one cube visits
    // (texture/record_painter.hpp), counted from the records before
    // anything is painted, so an image of P pixels may take maxPaintWork x
    // P steps. An image above it is refused (tooMuchWork). Plain images
    // cost one write per pixel and are never refused for it.
    std::uint64_t maxPaintWork = kDefaultMaxPaintWork;
    // Paint palette indices (the picture's values are 0 .. K - 1) instead of
    // the palette's colours.
    bool indices = false;

    static constexpr DecodeOptions unlimited() { return {kNoLimit, kNoLimit, false}; }
};

// The images of one texture held in memory, checked once and then painted
// one by one: a walk over the file finds every image, so decoding all of
// them costs one pass, and every problem is found before the first picture.
// Every call returns the problem it found (kind none: none).
class TextureDecoder {
public:
    // Checks header and palette (checkTextureLayout), refusing a texture
    // without pixels or colours, and the picture within maxPixels (tooLarge,
    // before a cut palette). file must outlive the decoder.
    TextureProblem open(std::span<const std::uint8_t> file, const DecodeOptions& options);
    // After open: the images before `first` as far as finding the next one
    // needs (record heads, lengths and b), and images first .. end - 1 in
    // full: plain indices inside the palette and each image's painting
    // within maxPaintWork. Requires 0 <= first < end (else noSuchImage).
    TextureProblem check(std::int64_t first, std::int64_t end);
    // open, then check.
    TextureProblem check(std::span<const std::uint8_t> file, std::int64_t first, std::int64_t end,
                         const DecodeOptions& options);
    // Paints image i, one of those check() accepted, into out (outOfMemory
    // when its picture cannot be had). Pixels that no record covers are 0.
    TextureProblem decode(std::int64_t image, Picture& out) const;
    // The painting steps image i takes, as check() counted them (0 for a
    // plain image, and without a limit to keep).
    std::uint64_t paintWork(std::int64_t image) const;
    const TextureLayout& layout() const { return layout_; }

private:
    std::span<const std::uint8_t> file_;
    DecodeOptions options_;
    TextureLayout layout_;
    HeapArray<std::uint32_t> palette_;
    HeapArray<std::uint64_t> offsets_;  // of images first_ .. first_ + size - 1
    HeapArray<std::uint64_t> work_;
    std::int64_t first_ = 0;
    bool opened_ = false;
};

// Decodes image imageIndex (0 = the first) of the texture held in file.
// Pixels that no record covers are 0.
TextureProblem decodeTextureImage(std::span<const std::uint8_t> file, std::int64_t imageIndex, Picture& out,
                                  const DecodeOptions& options = {});

}  // namespace qm5
