#pragma once
// Writing the texture for encode's --best and --auto, which the maker never
// does: the covers of BestCompressor, and the choice of the smaller of the
// plain and the compressed texture. The header and palette are the maker's;
// without these options encode writes through the maker's writeTexture.

#include <cstdint>
#include <span>

#include "maker/console.hpp"
#include "maker/texture_writer.hpp"
#include "picture/picture.hpp"

namespace qm5::cli {

struct EncodeChoice {
    bool best = false;      // covers from BestCompressor instead of the maker's
    bool smallest = false;  // plain unless compressed is smaller (--auto)
    unsigned threads = 1;
};

struct EncodeOutcome {
    bool compressed = false;            // the encoding written
    std::uint64_t plainBytes = 0;       // the file written plain
    // The file written compressed; 0 when unknown: with smallest, the
    // compression stops as soon as it cannot be smaller than plain.
    std::uint64_t compressedBytes = 0;
    bool tooLarge = false;              // compressing would pass kCompressMemoryLimit
    bool recordTooLong = false;         // a colour record needs more than 65535 data bytes
    std::uint32_t failedImage = 0;      // with recordTooLong
    std::uint32_t failedColour = 0;
};

// pictures: N >= 1 pictures of equal size whose pixels are palette indices
// (< palette.size()). Prints the stages' progress lines on console. Without
// smallest, a record that is too long fails the write (recordTooLong), and
// so does a picture too large to compress (outOfMemory); with it, the
// texture is then written plain. The file appears only when complete.
WriteResult writeChosenTexture(Console& console, const char* outputName, std::span<const Picture* const> pictures,
                               std::span<const std::uint32_t> palette, std::int32_t mipmapCount,
                               const EncodeChoice& choice, EncodeOutcome& outcome);

}  // namespace qm5::cli
