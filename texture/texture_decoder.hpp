#pragma once
// Decoding a Qm5 texture (layout in texture/texture_format.hpp) back into
// pictures of palette colours or indices. The decoder is bounds-safe and
// bounded: it checks every size and record of the images it is asked for
// against what the file holds before it allocates or paints anything, and
// counts the painting against the caller's limit as it paints, so a
// malformed or hostile file gives a TextureProblem and never a crash, an
// unbounded allocation or unbounded work.

#include <cstdint>
#include <span>

#include "core/byte_reader.hpp"
#include "core/heap_array.hpp"
#include "picture/picture.hpp"
#include "texture/pixel_store.hpp"
#include "texture/texture_format.hpp"
#include "texture/texture_problem.hpp"

namespace qm5 {

// The qm5 command's limits, the defaults of every reader that has limits
// (README, "Robustness", says how they were chosen). A valid texture of a
// few bytes can describe a picture of 32767 x 32767 pixels (4 GiB to
// decode, 3 GiB as a BMP), and a record of 64 KiB can hold thousands of
// cubes over most of the picture.
inline constexpr std::uint64_t kDefaultMaxPixels = std::uint64_t{1} << 26;  // 8192 x 8192
inline constexpr std::uint64_t kDefaultMaxPaintWork = 1024;
inline constexpr std::uint64_t kDefaultMaxPaintSteps = std::uint64_t{1} << 29;
inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

struct DecodeOptions {
    // Pictures of more pixels are refused (tooLarge) before anything is
    // allocated for them.
    std::uint64_t maxPixels = kDefaultMaxPixels;
    // Painting work of a compressed image, in painting steps per pixel: a
    // step is one part of the picture (a word of 64 positions, or a node
    // over 64 words or nodes) that a cube visits because it is not yet
    // complete (texture/record_painter.hpp). Counted while painting, so an
    // image of P pixels stops after maxPaintWork x P steps, and after
    // maxPaintSteps whatever its size, and is refused (tooMuchWork). Plain
    // images cost one write per pixel and are never refused for it.
    std::uint64_t maxPaintWork = kDefaultMaxPaintWork;
    std::uint64_t maxPaintSteps = kDefaultMaxPaintSteps;
    // Paint palette indices (the picture's values are 0 .. K - 1) instead of
    // the palette's colours.
    bool indices = false;

    static constexpr DecodeOptions unlimited() { return {kNoLimit, kNoLimit, kNoLimit, false}; }
    // The steps an image of pixelCount pixels may take.
    std::uint64_t paintBudget(std::uint64_t pixelCount) const {
        const std::uint64_t perPixel = maxPaintWork > UINT64_MAX / pixelCount ? UINT64_MAX : maxPaintWork * pixelCount;
        return perPixel < maxPaintSteps ? perPixel : maxPaintSteps;
    }
};

// The images of one texture held in memory: a walk over the record heads
// finds every image, so that decoding all of them costs one pass, and
// every fault of their layout is found before the first picture. Decoding
// writes straight into the caller's memory (texture/pixel_store.hpp).
// Every call returns the problem it found (kind none: none).
class TextureDecoder {
public:
    // Checks header and palette (checkTextureLayout), refusing a texture
    // without pixels or colours, and the picture within maxPixels (tooLarge,
    // before a cut palette). file must outlive the decoder.
    TextureProblem open(std::span<const std::uint8_t> file, const DecodeOptions& options);
    // After open: the images before `first` as far as finding the next one
    // needs (record heads, lengths and b), and images first .. end - 1 in
    // full but for their painting work: plain indices inside the palette.
    // Requires 0 <= first < end (else noSuchImage).
    TextureProblem check(std::int64_t first, std::int64_t end);
    // open, then check.
    TextureProblem check(std::span<const std::uint8_t> file, std::int64_t first, std::int64_t end,
                         const DecodeOptions& options);
    // Paints image i, one of those check() accepted, into out (outOfMemory
    // when its picture cannot be had; tooMuchWork when painting it passes
    // maxPaintWork). Pixels that no record covers are 0.
    TextureProblem decode(std::int64_t image, Picture& out) const;
    // After open: image i, whose first byte is at offset (as a walk over
    // the file found it), checked and painted into out, pixelCount values
    // of format, within the painting limits of limits (its other fields
    // are those of open). out is left as it was when a problem is found.
    // indicesJudged: a walk over the file (check(), or the inspection of
    // texture/texture_info.hpp) has found every plain index of the image
    // inside the palette, so they are not checked again.
    TextureProblem decodeAt(std::int64_t image, std::uint64_t offset, PixelFormat format, void* out,
                            const DecodeOptions& limits, bool indicesJudged = false) const;
    // The offset of image i, one of those check() found (else 0).
    std::uint64_t imageOffset(std::int64_t image) const {
        const std::int64_t slot = image - first_;
        return slot >= 0 && static_cast<std::uint64_t>(slot) < offsets_.size() ? offsets_[static_cast<std::size_t>(slot)] : 0;
    }
    const TextureLayout& layout() const { return layout_; }

private:
    template <class Cell>
    bool paintFromTheTop(ByteReader in, std::int64_t image, Cell* cells, std::uint64_t budget) const;
    template <class Cell>
    TextureProblem paintImage(ByteReader in, std::int64_t image, const PixelTarget& target,
                              const DecodeOptions& limits) const;

    std::span<const std::uint8_t> file_;
    DecodeOptions options_;
    TextureLayout layout_;
    PixelTables tables_;
    HeapArray<std::uint64_t> offsets_;  // of images first_ .. first_ + size - 1
    std::int64_t first_ = 0;
    bool opened_ = false;
};

// Decodes image imageIndex (0 = the first) of the texture held in file.
// Pixels that no record covers are 0.
TextureProblem decodeTextureImage(std::span<const std::uint8_t> file, std::int64_t imageIndex, Picture& out,
                                  const DecodeOptions& options = {});

}  // namespace qm5
