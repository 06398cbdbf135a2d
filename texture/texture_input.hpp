#pragma once
// Reading a texture from a named input: opened once, read once from its
// start, in the order of its layout (header, palette, then each record's
// head before its data), and never past the largest size its header allows
// for the images asked for. A pipe, a FIFO or an endless device is read
// the same way as a file, so /dev/zero or a texture followed by endless
// bytes costs a few reads, and memory grows only with the bytes that are
// there. What was read then goes to the decoder or the inspection, which
// judge it.

#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>

#include "core/heap_array.hpp"
#include "core/input_stream.hpp"

namespace qm5 {

// How far a texture's layout reaches: fed the bytes read so far, it walks
// header, palette and record heads and says how many bytes it needs next.
// Contract: every length it asks for is at most bound() once the header is
// known (at most 20 before); it stops at a header that is no texture's,
// at a picture above maxPixels, and after `images` images.
class TextureExtent {
public:
    // images: how many to reach from the first; at most those the header
    // counts, but always the first (the classic reader decodes image 0
    // whatever the count says).
    TextureExtent(std::uint64_t images, std::uint64_t maxPixels) : wanted_(images), maxPixels_(maxPixels) {}

    // file: the first bytes of the input, more on each call. Returns the
    // length the walk needs; once done(), the end of the last image reached.
    std::uint64_t advance(std::span<const std::uint8_t> file);
    bool done() const { return stage_ == Stage::done; }
    // Done at the end of the last image asked for, rather than stopped at a
    // header no reader goes past.
    bool complete() const { return done() && !stopped_; }
    // The largest size the header allows for the images asked for: plain
    // images have their exact size, a record at most 3 + 65535 bytes.
    std::uint64_t bound() const { return bound_; }

private:
    enum class Stage { header, palette, images, done };
    void start(std::span<const std::uint8_t> header);

    std::uint64_t wanted_;
    std::uint64_t maxPixels_;
    Stage stage_ = Stage::header;
    std::uint64_t bound_ = 20;  // the header's size until it is read
    std::uint64_t end_ = 0;     // of the part walked
    bool compressed_ = false;
    std::uint32_t colourCount_ = 0;
    std::uint64_t plainImageBytes_ = 0;
    std::uint64_t images_ = 0;  // to walk
    std::uint64_t image_ = 0;   // being walked
    std::uint32_t record_ = 0;
    bool stopped_ = false;
};

struct TextureReadRequest {
    std::uint64_t images = UINT64_MAX;       // see TextureExtent
    std::uint64_t maxPixels = UINT64_MAX;    // above it, nothing past the header is read
    bool tail = false;                       // learn what follows the last image
    std::FILE* stream = nullptr;             // read this (standard input) instead of opening the path
};

struct TextureRead {
    HeapArray<std::uint8_t> bytes;  // the start of the input, as far as the walk reached
    // The bytes after those read, as a regular file's size tells without
    // reading them. For a pipe or device, exact is false when it may hold
    // more: with tail, one byte past a complete texture is read to know.
    std::uint64_t following = 0;
    bool exact = true;
    bool opened = false;    // the open succeeded (a failure was then in reading)
    std::error_code error;  // why an open or read failed, as the system says it
};

// none; cannotOpen when the input cannot be opened or read (error says
// why); outOfMemory.
ReadFileError readTextureFile(const char* path, const TextureReadRequest& request, TextureRead& out);

}  // namespace qm5
