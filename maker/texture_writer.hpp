#pragma once
// The last stage of a conversion: compresses the pictures with the engine
// asked for and writes the texture through TextureFileWriter, with the
// stage's console lines. The file appears under its name only when
// complete; any failure leaves an existing file of that name as it was.

#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>

#include "core/output_sink.hpp"
#include "maker/console.hpp"
#include "maker/progress.hpp"
#include "minimiser/limits.hpp"
#include "picture/picture.hpp"
#include "texture/texture_writer.hpp"

namespace qm5 {

enum class RecordEngine {
    fast,  // PictureCompressor: the maker's records
    best,  // BestCompressor: fewer cubes, other bytes, the same pictures
};

struct TextureWriteOptions {
    bool compress = false;
    RecordEngine engine = RecordEngine::fast;
    // Plain unless compressed is smaller (a tie goes to plain); compress is
    // then not looked at, and a picture that cannot be compressed (too large,
    // a record too long) is written plain.
    bool smallest = false;
    unsigned threads = 0;  // 0: one per core
    // Write the texture to this stream (standard output) instead of the
    // file named; it receives the bytes only once they are complete.
    std::FILE* stream = nullptr;
    // Told of each image compressed (colour by colour) and of the writing.
    Progress* progress = nullptr;
    // Fewer threads are used where more would pass it; a picture that even
    // one thread cannot compress within it is too large (WriteOutcome).
    std::uint64_t memoryLimit = kCompressMemoryLimit;
    // With the best engine: the effort of the search for a palette order
    // that makes the texture smaller (minimiser/palette_order.hpp); 0 keeps
    // the palette in ascending order. The order never changes the pictures
    // a reader decodes, and a texture is never larger than with 0.
    unsigned orderEffort = 0;
};

enum class WriteResult {
    written,
    headerOutOfRange,  // a header field cannot hold the pictures (WriteOutcome::header); nothing written
    cannotOpen,     // the file cannot be created
    outOfMemory,    // also: a picture too large to compress (WriteOutcome::tooLarge)
    recordTooLong,  // a colour record needs more than 65535 data bytes
    writeFailed,    // the file could not be written completely
};

// What a write chose and found, for the caller's messages.
struct WriteOutcome {
    bool compressed = false;          // the encoding written
    std::uint64_t plainBytes = 0;     // the size of the texture written plain
    // The size of the texture written compressed; 0 when unknown: with
    // smallest, the compression stops as soon as it cannot be smaller than plain.
    std::uint64_t compressedBytes = 0;
    bool tooLarge = false;            // compressing would pass the memory limit
    bool recordTooLong = false;       // a colour record needs more than 65535 data bytes
    std::uint32_t failedImage = 0;    // with recordTooLong
    std::uint32_t failedColour = 0;
    HeaderRangeFault header;          // with headerOutOfRange
    std::error_code fileError;        // with cannotOpen and writeFailed: the system's reason
};

// pictures: N >= 1 pictures of equal size whose pixels are palette indices
// (< palette.size()). mipmapCount goes into the header.
//
// Console lines: the modes qm5_maker has (plain, or compressed by the
// reference or the fast engine) print all of the maker's lines and report
// their failures with reportError and reportOutOfMemory. The modes only
// qm5 encode offers (best, smallest) print the progress lines alone and leave
// every report to the caller, from the result and the outcome.
WriteResult writeTexture(Console& console, const char* outputName, std::span<const Picture* const> pictures,
                         std::span<const std::uint32_t> palette, std::int32_t mipmapCount,
                         const TextureWriteOptions& options, WriteOutcome* outcome = nullptr);
// The same bytes into out (committed when complete, discarded otherwise).
WriteResult writeTexture(Console& console, OutputSink& out, std::span<const Picture* const> pictures,
                         std::span<const std::uint32_t> palette, std::int32_t mipmapCount,
                         const TextureWriteOptions& options, WriteOutcome* outcome = nullptr);

}  // namespace qm5
