#pragma once
// The in-memory picture shared by both programs, the closed set of reasons a
// picture or file cannot be had, and the format codes of detection.

#include <cstdint>

#include "core/heap_array.hpp"

namespace qm5 {

// Largest width or height either program accepts: the texture stores sizes
// in 16-bit fields that its reader takes as signed.
inline constexpr std::int32_t kMaxSide = 32767;

// width x height 32-bit values, row-major, row 0 at the top. Every reader
// packs a colour as red in bits 0..7, green in 8..15 and blue in 16..23;
// bits 24..31 are zero. In the maker, from the palette stage on, the values
// are palette indices.
struct Picture {
    HeapArray<std::uint32_t> pixels;
    std::int32_t width = 0;
    std::int32_t height = 0;

    std::uint32_t& at(std::int32_t x, std::int32_t y) {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)];
    }
    std::uint32_t at(std::int32_t x, std::int32_t y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)];
    }
    // Allocates width x height zeroed pixels; false when the size is
    // negative or the memory cannot be had.
    [[nodiscard]] bool allocate(std::int32_t w, std::int32_t h) {
        if (w < 0 || h < 0) return false;
        if (!pixels.allocate(static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h))) return false;
        width = w;
        height = h;
        return true;
    }
};

enum PictureFormat : std::int32_t {
    FormatBmp = 0,
    FormatPcx = 1,
    FormatGif = 2,
    // Read by the qm5 command only; the classic detection never gives them.
    FormatPng = 3,
    FormatTga = 4,
    FormatUnknown = -1,
};

// Picture files larger than this cannot describe a picture of at most
// 32767 x 32767 pixels in any uncompressed format read here (24-bit rows of
// 98304 bytes, plus headers): reading stops there, which bounds the memory
// a read takes.
inline constexpr std::uint64_t kMaxPictureFileBytes = 54 + std::uint64_t{98304} * 32767 + 4096;

// Why a picture (or any input file) could not be had. Readers report one of
// these and print nothing; only a program's entry turns them into words.
enum class PictureError {
    none,
    cannotOpen,   // the file cannot be opened or read
    notPicture,   // the signature is not one this reader handles
    unsupported,  // a variant of the format that is not read (bit depth, compression, ...)
    malformed,    // header fields that contradict each other or the file
    truncated,    // the file ends before the data its headers announce
    tooLarge,     // a side above kMaxSide, or more data than can be addressed
    outOfMemory,
    transparent,  // a pixel that is not fully opaque (a texture holds opaque colours)
    overlong,     // the input goes on past where the headers say the picture ends at the latest
};

const char* describe(PictureError error);

}  // namespace qm5
