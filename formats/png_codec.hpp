#pragma once
// PNG for the qm5 command, through libspng (Debian libspng-dev): reading
// every colour type and bit depth, interlaced or not, and writing 8-bit RGB
// or palette pictures. A build without the library reads and writes no PNG
// (pngSupported() is false; loadPng refuses as unsupported).

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "formats/read_options.hpp"
#include "picture/picture.hpp"
#include "picture/picture_reader.hpp"

namespace qm5 {

bool pngSupported();

// The 8-byte PNG signature.
bool isPngSignature(std::span<const std::uint8_t> head);

// Sides up to 32767; the image data must be able to hold the pixels at the
// densest deflate rate (1032 bytes per byte), checked before allocating, so
// memory stays in proportion to the file. 16-bit samples are rounded to 8
// bits; a pixel that is not fully opaque (alpha channel or tRNS) is refused
// unless the options drop alpha. The file is read to IEND: corrupt data (a
// critical chunk's CRC, zlib) is malformed, with the library's reason in
// detail; an ancillary chunk with a wrong CRC is dropped.
PictureError loadPng(std::span<const std::uint8_t> file, Picture& out, const ReadOptions& options,
                     PictureDetail* detail = nullptr);

// How far a PNG file reaches (picture/picture_reader.hpp): its chunks up to
// IEND (and a few KiB, which the library may read ahead to judge them),
// walked without the library. A file whose chunks pass twice the
// picture's raw size and 64 MiB is cut there (the stream goes on, no IEND).
void measurePng(std::span<const std::uint8_t> file, PictureExtent& extent);

// The picture as an 8-bit PNG: indices into palette (at most 256 entries)
// when it holds every colour of the picture, RGB otherwise. False when the
// picture is empty or the library fails.
bool encodePng(const Picture& picture, std::span<const std::uint32_t> palette, HeapArray<std::uint8_t>& out);

}  // namespace qm5
