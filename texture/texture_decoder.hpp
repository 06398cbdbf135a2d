#pragma once
// Decoding a Qm5 texture (layout in texture/texture_format.hpp) back into
// pictures of palette colours. The decoder is bounds-safe and bounded: it
// checks every size and record of the images it is asked for against what
// the file holds, and their cost against the caller's limits, before it
// allocates or paints anything, so a malformed or hostile file gives an
// error and never a crash, an unbounded allocation or unbounded work.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "picture/picture.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

enum class TextureError {
    none,
    cannotOpen,   // the file cannot be opened or read
    notTexture,   // wrong magic or a version other than 100
    truncated,    // the file ends before the data its header or a record announces
    malformed,    // a negative or zero size or count, a record with b = 0 or b > 30, an index >= K
    tooLarge,     // a picture of more pixels than DecodeOptions::maxPixels
    tooMuchWork,  // an image whose painting passes DecodeOptions::maxPaintWork
    outOfMemory,
};

const char* describe(TextureError error);

// Where a decoding failure was found, for messages such as "record 12 of
// image 0 runs past the end of the file".
struct TextureFault {
    std::int64_t image = -1;   // -1: header or palette
    std::int64_t record = -1;  // colour record (compressed) or -1
    std::uint64_t offset = 0;  // file offset of the faulty item
};

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
// them costs one pass, and every failure is found before the first picture.
class TextureDecoder {
public:
    // Checks header and palette, the images before `first` as far as
    // finding the next one needs (record heads, lengths and b), and images
    // first .. end - 1 in full: plain indices inside the palette, the
    // picture within maxPixels and each image's painting within
    // maxPaintWork. file must outlive the decoder.
    TextureError check(std::span<const std::uint8_t> file, std::int64_t first, std::int64_t end,
                       const DecodeOptions& options, TextureFault* fault = nullptr);
    // Paints image i, one of those check() accepted, into out. Pixels that
    // no record covers are 0.
    TextureError decode(std::int64_t image, Picture& out) const;
    // The painting steps image i takes, as check() counted them (0 for a
    // plain image, and without a limit to keep).
    std::uint64_t paintWork(std::int64_t image) const;
    const TextureLayout& layout() const { return layout_; }

private:
    TextureError checkImages(std::int64_t end, const DecodeOptions& options, TextureFault* fault);

    std::span<const std::uint8_t> file_;
    TextureLayout layout_;
    HeapArray<std::uint32_t> palette_;
    HeapArray<std::uint64_t> offsets_;  // of images first_ .. first_ + size - 1
    HeapArray<std::uint64_t> work_;
    std::int64_t first_ = 0;
};

// Decodes image imageIndex (0 = the first) of the texture held in file.
// Pixels that no record covers are 0.
TextureError decodeTextureImage(std::span<const std::uint8_t> file, std::int64_t imageIndex, Picture& out,
                                const DecodeOptions& options = {}, TextureFault* fault = nullptr);

}  // namespace qm5
