#pragma once
// The last stage of a conversion: writes the texture file (layout in
// texture/texture_format.hpp) with its progress lines. The file appears under
// its name only when complete; any failure leaves an existing file of that
// name as it was.

#include <cstdint>
#include <span>

#include "maker/console.hpp"
#include "picture/picture.hpp"

namespace qm5 {

// Working memory the fast engine may take for one picture.
inline constexpr std::uint64_t kCompressMemoryLimit = std::uint64_t{1800} << 20;

enum class MinimiserEngine {
    reference,  // FunctionMinimiser, one colour at a time
    fast,       // PictureCompressor, all colours of a picture, same bytes
};

struct TextureWriteOptions {
    bool compress = false;
    MinimiserEngine engine = MinimiserEngine::fast;
    unsigned threads = 0;  // 0: one per core
};

enum class WriteResult {
    written,
    cannotOpen,     // "Cannot open destination file !" was reported
    outOfMemory,    // reported
    recordTooLong,  // reported: a colour record needs more than 65535 data bytes
    writeFailed,    // reported: the file could not be written completely
};

// pictures: N >= 1 pictures of equal size whose pixels are palette indices
// (< palette.size()). mipmapCount goes into the header.
WriteResult writeTexture(Console& console, const char* outputName, std::span<const Picture* const> pictures,
                         std::span<const std::uint32_t> palette, std::int32_t mipmapCount,
                         const TextureWriteOptions& options);

}  // namespace qm5
