#pragma once
// PictureLoader: classifies picture files, reads BMP and PCX pictures into a
// new Picture, and writes a Picture as a 24-bit BMP.
//
// Every reader takes the whole file as bytes (the named-file overloads read
// the file first) and walks it with one ByteReader, so nothing is read
// outside the file whatever its headers say. Readers print nothing except the
// PCX scan-line message, which goes to the loader's message stream.

#include <cstdint>
#include <cstdio>
#include <span>

#include "core/byte_reader.hpp"
#include "core/heap_array.hpp"
#include "picture/picture.hpp"

namespace qm5 {

struct BmpInfoHeader;  // picture/bmp_format.hpp
struct PcxHeader;      // picture/pcx_format.hpp

class PictureLoader {
public:
    // messages receives the PCX reader's scan-line message (standard output
    // for the classic programs); nullptr silences it.
    explicit PictureLoader(std::FILE* messages = stdout) : messages_(messages) {}
    PictureLoader(const PictureLoader&) = delete;
    PictureLoader& operator=(const PictureLoader&) = delete;
    virtual ~PictureLoader() = default;

    // Classification by the first bytes only; FormatUnknown when the file
    // cannot be opened.
    PictureFormat detectFormat(const char* name) const;
    static PictureFormat detectFormat(std::span<const std::uint8_t> fileStart);

    PictureError loadBmp24(const char* name, Picture& out);
    PictureError loadBmp8(const char* name, Picture& out);
    PictureError loadPcx(const char* name, Picture& out);
    // GIF is recognised but not read: always notPicture/unsupported, the
    // file is not opened.
    PictureError loadGif(const char* name, Picture& out);

    PictureError loadBmp24(std::span<const std::uint8_t> file, Picture& out);
    PictureError loadBmp8(std::span<const std::uint8_t> file, Picture& out);
    PictureError loadPcx(std::span<const std::uint8_t> file, Picture& out);
    // Three planes of 8 bits (red, green, blue lines), no palette. Not one of
    // the classic programs' formats: only the qm5 command reads it.
    PictureError loadPcx24(std::span<const std::uint8_t> file, Picture& out);

    // The maker's order: detect, then loadBmp24 falling back to loadBmp8 for
    // BMP, loadPcx for PCX, loadGif for GIF. format receives the detected code.
    PictureError loadAny(const char* name, Picture& out, PictureFormat* format = nullptr);
    PictureError loadAny(std::span<const std::uint8_t> file, Picture& out, PictureFormat* format = nullptr);

    // 1 when written, 0 on failure; the destination is replaced only by a
    // complete file.
    int writeBmp24(const char* name, const Picture& picture) const;
    // The bytes writeBmp24 writes, built in memory.
    static bool encodeBmp24(const Picture& picture, HeapArray<std::uint8_t>& out);

    // Colours of the most recent 8-bit BMP read.
    std::uint32_t palette[256] = {};

private:
    // ---- BMP and PCX reader internals (picture/bmp_reader.cpp, picture/pcx_reader.cpp) ----
    // Both read the palette that follows the information header into
    // `palette`, then the pixel data from pixelDataOffset; file is positioned
    // at the palette. The caller has checked sides, sizes and offsets.
    PictureError readBmp8Raw(const BmpInfoHeader& info, std::uint32_t pixelDataOffset, ByteReader& file,
                             Picture& out);
    PictureError readBmp8Rle(const BmpInfoHeader& info, std::uint32_t pixelDataOffset, ByteReader& file,
                             Picture& out);
    // False when the file ends inside the palette.
    bool readBmpPalette(const BmpInfoHeader& info, ByteReader& file);

    struct PcxPendingRun;  // picture/pcx_format.hpp
    // False when fewer than 128 bytes remain (nothing is judged then).
    static bool readPcxHeader(ByteReader& file, PcxHeader& header);
    // Fills line[0 .. n-1], continuing and updating the pending run; bytes
    // the data never reach are 0. Returns the count of bytes placed.
    static std::int16_t decodePcxLine(std::uint8_t* line, std::int32_t n, ByteReader& file, PcxPendingRun& pending);
    // Checks the header for `planes` planes of 8 bits and decodes every line
    // into out: palette indices (one plane) or colours (three planes).
    PictureError decodePcx(std::span<const std::uint8_t> bytes, std::uint8_t planes, PcxHeader& header, Picture& out);

    std::FILE* messages_;
};

}  // namespace qm5
