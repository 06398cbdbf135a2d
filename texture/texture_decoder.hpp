#pragma once
// Decoding a Qm5 texture (layout in texture/texture_format.hpp) back into a
// picture of palette colours. The decoder is bounds-safe: it reads the file
// into memory first and checks every size the header announces against what
// the file holds before allocating, so a malformed file gives an error and
// never a crash or an unbounded allocation.

#include <cstdint>
#include <span>

#include "picture/picture.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

enum class TextureError {
    none,
    cannotOpen,   // the file cannot be opened or read
    notTexture,   // wrong magic or a version other than 100
    truncated,    // the file ends before the data its header or a record announces
    malformed,    // a negative size or count, a record with b = 0 or b > 30, an index >= K
    tooLarge,     // a picture larger than the caller's limit
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

struct DecodeOptions {
    // Pictures with more pixels are refused (tooLarge) before allocating.
    std::uint64_t maxPixels = std::uint64_t{kMaxSide} * kMaxSide;
    // Bound on the painting work of one image. Carried for the callers that
    // pass their limits through; not enforced here yet.
    std::uint64_t maxPaintWork = 0;  // 0: unbounded
    // Paint palette indices (the picture's values are 0 .. K - 1) instead of
    // the palette's colours.
    bool indices = false;
};

// Decodes image imageIndex (0 = the first) of the texture held in file.
// Pixels that no record covers are 0.
TextureError decodeTextureImage(std::span<const std::uint8_t> file, std::int64_t imageIndex, Picture& out,
                                const DecodeOptions& options = {}, TextureFault* fault = nullptr);

// The tester's entry point: reads the named file and decodes its first image.
TextureError decodeTexture(const char* name, Picture& out, const DecodeOptions& options = {});

}  // namespace qm5
