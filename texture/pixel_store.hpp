#pragma once
// The last step of decoding: the palette indices of an image (a plain
// image's, or the index map a compressed image is painted into) written
// into the caller's memory in the pixel format it asks for, in one pass
// through a table of the values each index stands for.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"

namespace qm5 {

enum class PixelFormat {
    colours,    // 32-bit palette colours as stored (red in bits 0..7, bits 24..31 zero); 0 where nothing paints
    indices,    // 32-bit palette indices; 0 where nothing paints
    rgba8,      // 4 bytes red, green, blue, 255 (any alignment); black where nothing paints
    indices16,  // 16-bit palette indices; 0 where nothing paints
};

constexpr std::uint64_t pixelBytes(PixelFormat format) { return format == PixelFormat::indices16 ? 2 : 4; }

// The values of the palette's indices in each 32-bit format, made once per
// texture: at least 256 entries, so that any byte looks up safely (those
// past the palette are 0).
struct PixelTables {
    HeapArray<std::uint32_t> colours;
    HeapArray<std::uint32_t> rgba;
    HeapArray<std::uint32_t> indices;
    // colours[k] = palette[k]; false when memory ran out.
    [[nodiscard]] bool make(std::span<const std::uint32_t> palette);
};

// Where an image goes: format, the tables and the caller's memory of
// pixelCount x pixelBytes(format) bytes.
struct PixelTarget {
    PixelFormat format = PixelFormat::colours;
    const PixelTables* tables = nullptr;
    void* out = nullptr;
};

// A plain image: pixelCount indices, one byte each or (wide) 16-bit
// little-endian, every one below the palette's size.
void storePlainIndices(std::span<const std::uint8_t> indices, bool wide, std::uint64_t pixelCount,
                       const PixelTarget& target);

// A painted index map of pixelCount cells. painted: the painter's bits, bit l
// of word w for position 64 w + l, or empty when every position is painted;
// unpainted positions get the format's value for "nothing paints".
void storeIndexMap(const std::uint8_t* cells, std::uint64_t pixelCount, std::span<const std::uint64_t> painted,
                   const PixelTarget& target);
void storeIndexMap(const std::uint16_t* cells, std::uint64_t pixelCount, std::span<const std::uint64_t> painted,
                   const PixelTarget& target);

}  // namespace qm5
