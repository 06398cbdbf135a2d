#pragma once
// The one way pictures become a texture: encodeTexture takes a request (the
// pictures, the mode, the effort, the threads, the limits, an observer and
// where the texture goes) and runs the maker's stages after reading: the
// palette, the mipmap levels and the writing stage, which compresses with
// the engine the mode asks for. qm5_maker, qm5 encode and libqm5 all call it,
// so the same pictures in the same mode give the same bytes everywhere. What
// a program says along the way (qm5_maker's console lines, the qm5 command's
// progress line, a library caller's callback) comes through the observer;
// what went wrong comes back in the result, worded by
// describeEncodeFailure (encode_messages.hpp) or by the classic console.

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

enum class EncodeMode {
    plain,       // palette indices
    compressed,  // the maker's colour records (qm5_maker c, qm5 encode -c)
    best,        // fewer cubes per colour (qm5 encode --best)
};

struct EncodeLimits {
    // Working memory of compressing: fewer threads are used where more
    // would pass it, and a picture that even one thread cannot compress
    // within it is too large to compress.
    std::uint64_t memory = kCompressMemoryLimit;
};

struct EncodeResult;

// Hears how an encode goes. As a Progress it is told the stages and their
// work (for a display); the writing stage also names each step of the file
// in order, which qm5_maker's console lines follow. Every call comes from
// the thread that called encodeTexture. The defaults do nothing.
class EncodeObserver : public Progress {
public:
    void begin(Stage, std::uint32_t = 0, std::uint32_t = 0) override {}
    void advance(std::uint64_t, std::uint64_t) override {}
    // Asked between units of work (stages, images, colour records, the
    // palette order search's chunks): true ends the encode, which then
    // fails with EncodeError::cancelled and writes nothing.
    virtual bool cancelled() { return false; }
    // The console the palette and mipmap stages print their lines to;
    // nullptr: none.
    virtual Console* console() { return nullptr; }

    // The writing stage, step by step. writing: the output is open.
    virtual void writing() {}
    virtual void writingHeader() {}
    virtual void writingPalette() {}
    virtual void writingPlainImages() {}
    virtual void plainImageWritten(std::uint32_t) {}
    virtual void compressingImages() {}
    // Colour `colour` of image `image` has its record; imageBytes: the record
    // bytes of the image so far. colours and pixels: K and P.
    virtual void recordMade(std::uint32_t /*image*/, std::uint32_t /*colour*/, std::uint32_t /*colours*/,
                            std::uint64_t /*imageBytes*/, std::uint64_t /*pixels*/) {}
    // The records of an image are done, or stopped by a failure.
    virtual void imageCompressed(std::uint32_t) {}
    // The end, with what happened.
    virtual void finished(const EncodeResult&) {}
};

struct EncodeRequest {
    // The pictures, all of the first one's size: colour values (red in bits
    // 0..7) that the palette stage replaces by indices into a palette of the
    // distinct colours, ascending. With `palette`, the pixels are indices into
    // it already and stay as they are: the texture has that palette in that
    // order (no palette stage, no palette order search).
    std::span<Picture> pictures;
    std::span<const std::uint32_t> palette;
    EncodeMode mode = EncodeMode::plain;
    // Plain unless compressed (in `mode`, plain meaning compressed) is
    // smaller; a tie goes to plain, and a picture that cannot be compressed
    // (too large, a record too long) is written plain.
    bool smallest = false;
    // The palette order search of the best mode (minimiser/palette_order.hpp):
    // its budget in multiples of one compression; 0 keeps ascending order.
    unsigned effort = 0;
    unsigned threads = 0;  // 0: one per core; never changes the bytes
    EncodeLimits limits;
    // Builds the mipmap levels, as qm5_maker does and prints; otherwise they
    // are only counted (only their count reaches the file).
    bool buildMipmaps = false;
    EncodeObserver* observer = nullptr;
    // Where the texture goes, the first given of: sink (bytes in memory),
    // stream (standard output, all at once when complete), the file path
    // names (a temporary renamed over it when complete).
    OutputSink* sink = nullptr;
    std::FILE* stream = nullptr;
    const char* path = nullptr;
};

enum class EncodeError {
    none,
    cancelled,         // the observer asked to stop; nothing written
    outOfMemory,
    tooManyColours,    // the pictures hold more than 32767 colours
    paletteFailed,     // the palette stage ran out of memory (and said so on its console)
    headerOutOfRange,  // a header field cannot hold the pictures (EncodeResult::header)
    tooLarge,          // compressing would pass the memory limit
    recordTooLong,     // a colour record needs more than 65535 data bytes (failedImage, failedColour)
    cannotOpen,        // the file cannot be created (fileError)
    writeFailed,       // the file could not be written completely (fileError)
};

struct EncodeResult {
    EncodeError error = EncodeError::none;
    // The texture, as far as it was decided.
    std::uint32_t images = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t colours = 0;
    std::int32_t mipmapLevels = 0;
    bool compressed = false;          // the encoding written
    std::uint64_t plainBytes = 0;     // the size of the texture written plain
    // The size of the texture written compressed; 0 when unknown: with
    // smallest, compressing stops as soon as it cannot be smaller than plain.
    std::uint64_t compressedBytes = 0;
    // Why compressing was not possible (with smallest: why plain was written).
    bool tooLarge = false;            // it would pass the memory limit
    bool recordTooLong = false;       // a colour record needs more than 65535 data bytes
    std::uint32_t failedImage = 0;    // with recordTooLong
    std::uint32_t failedColour = 0;
    std::uint64_t memoryLimit = 0;    // the limit tooLarge refers to
    HeaderRangeFault header;          // with headerOutOfRange
    std::error_code fileError;        // with cannotOpen and writeFailed: the system's reason

    bool ok() const { return error == EncodeError::none; }
    // The size of the texture written.
    std::uint64_t bytes() const { return compressed ? compressedBytes : plainBytes; }
};

EncodeResult encodeTexture(const EncodeRequest& request);

}  // namespace qm5
