#pragma once
// The Qm5 texture format (extension ".qm5"), the one format both programs
// share: its layout, documented byte by byte on the types that own each part
// (TextureHeader: the file; RecordHead: a colour record; CubeMasks: the cube
// data), the validator of the header and palette, and the cube-bit stream.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "core/byte_reader.hpp"
#include "texture/texture_problem.hpp"

namespace qm5 {

inline constexpr std::size_t kTextureHeaderSize = 20;
inline constexpr std::int16_t kTextureVersion = 100;
inline constexpr std::size_t kPaletteEntrySize = 4;
inline constexpr std::size_t kRecordHeadSize = 3;
inline constexpr std::uint32_t kMaxRecordDataLength = 65535;
// Widest position a texture can have: W, H <= 32767 gives P < 2^30.
inline constexpr int kMaxPositionBits = 30;
// Places of the header fields that checks name when they find a fault.
inline constexpr std::uint64_t kVersionOffset = 4;
inline constexpr std::uint64_t kColourCountOffset = 6;
inline constexpr std::uint64_t kImageCountOffset = 10;
inline constexpr std::uint64_t kWidthOffset = 14;
inline constexpr std::uint64_t kHeightOffset = 16;

// The 20-byte header, and with it the layout of the whole file. All numbers
// are little-endian; sections follow one another with no padding.
//
//   offset  size  field
//   0       3     magic "qm5" (no terminating zero)
//   3       1     reserved, written 0, ignored
//   4       2     version, signed 16-bit, always 100
//   6       2     colour count K (the reader takes it as signed)
//   8       2     mipmap level count (levels are counted, never stored)
//   10      2     image count N (the classic reader decodes image 0 only)
//   12      2     compression flag: 1 = colour records, any other value = plain
//   14      2     width W (signed on reading)
//   16      2     height H (signed on reading)
//   18      2     reserved, written 0, ignored
//   20      4K    palette: K 32-bit pixel values, entry k = colour of index k
//   20+4K   ...   N images of P = W x H pixels each, one after another:
//
// Plain image: P indices in position order (p = y * W + x, row 0 at the
// top): 1 byte each when K <= 256, else 2 bytes (16-bit, read as signed).
//
// Compressed image: K colour records (RecordHead), index 0 first. A reader
// paints them from index K - 1 down to 0, so a lower index overwrites a
// higher one. For index c the writer guarantees: every pixel of index c is
// covered, no pixel of a higher index is, and pixels of lower indices and
// positions P .. 2^b - 1 may be covered or not.
//
// Counts and sizes are 16-bit; the writer refuses one its field cannot
// hold (checkHeaderRanges in texture/texture_writer.hpp).
struct TextureHeader {
    std::uint8_t magic[3] = {'q', 'm', '5'};
    std::uint8_t reserved0 = 0;
    std::int16_t version = kTextureVersion;
    std::uint16_t colourCount = 0;
    std::uint16_t mipmapCount = 0;
    std::uint16_t imageCount = 0;
    std::uint16_t compression = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t reserved1 = 0;

    bool hasMagic() const { return magic[0] == 'q' && magic[1] == 'm' && magic[2] == '5'; }
    // The reader's view: every 16-bit field signed.
    std::int32_t signedColourCount() const { return static_cast<std::int16_t>(colourCount); }
    std::int32_t signedWidth() const { return static_cast<std::int16_t>(width); }
    std::int32_t signedHeight() const { return static_cast<std::int16_t>(height); }
    bool isCompressed() const { return compression == 1; }

    void store(std::uint8_t out[kTextureHeaderSize]) const;
    // Reads 20 bytes; nothing (and nothing consumed) when fewer remain.
    static std::optional<TextureHeader> read(ByteReader& in);
};

// The smallest b with 2^b >= pixelCount (0 for 0 or 1 pixel).
int positionBitCount(std::uint64_t pixelCount);

// Bytes per index of a plain image: 1 up to 256 colours, else 2.
constexpr std::uint64_t plainIndexBytes(std::uint64_t colourCount) { return colourCount <= 256 ? 1 : 2; }
// Bytes before the first image: the header and the palette.
constexpr std::uint64_t textureHeadSize(std::uint64_t colourCount) {
    return kTextureHeaderSize + kPaletteEntrySize * colourCount;
}
// Size of a whole plain texture: header, palette and the indices of every image.
constexpr std::uint64_t plainTextureSize(std::uint64_t colourCount, std::uint64_t pixelCount, std::uint64_t imageCount) {
    return textureHeadSize(colourCount) + imageCount * pixelCount * plainIndexBytes(colourCount);
}

// What the header and palette of a file say about the rest, as a reader
// takes them: counts and sizes signed, the palette inside the file.
struct TextureLayout {
    TextureHeader header;          // the 20 bytes as stored
    std::int32_t colourCount = 0;  // K, W and H, never negative once checked
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint64_t pixelCount = 0;  // P = W x H
    int positionBits = 0;          // b for P
    std::uint64_t paletteOffset = kTextureHeaderSize;
    std::span<const std::uint8_t> palette;  // K entries of kPaletteEntrySize bytes
    std::uint64_t imagesOffset = 0;         // the first byte after the palette

    bool compressed() const { return header.isCompressed(); }
    std::uint64_t indexBytes() const { return plainIndexBytes(static_cast<std::uint64_t>(colourCount)); }
    std::uint64_t plainImageBytes() const { return pixelCount * indexBytes(); }
    // Palette entry k < colourCount.
    std::uint32_t colour(std::size_t k) const {
        const std::uint8_t* entry = palette.data() + k * kPaletteEntrySize;
        return std::uint32_t{entry[0]} | (std::uint32_t{entry[1]} << 8) | (std::uint32_t{entry[2]} << 16) |
               (std::uint32_t{entry[3]} << 24);
    }
};

// The verdict on a file's header and palette. Checking stops at the first
// problem, except that every negative field is reported, and an empty
// picture, an empty palette and a cut palette after one another (at most
// three in all: an empty palette is never cut). Problems past the palette
// are the images' readers' to find.
struct LayoutCheck {
    bool headerRead = false;  // layout.header holds the file's 20 bytes
    // Colour count, sizes, P and b are set (no problem, or only zeroSize,
    // noColours and paletteTruncated); with the palette (imagesOffset set)
    // when it is not cut.
    bool sizesKnown = false;
    TextureLayout layout;
    static constexpr std::size_t kMaxProblems = 3;
    TextureProblem problems[kMaxProblems];
    std::size_t problemCount = 0;

    // The first problem; kind none when there is none.
    TextureProblem first() const { return problemCount == 0 ? TextureProblem{} : problems[0]; }
    std::span<const TextureProblem> all() const { return {problems, problemCount}; }
};

// The one check of a texture's header and palette, shared by every reader.
LayoutCheck checkTextureLayout(std::span<const std::uint8_t> file);

// The 3-byte head of a colour record, followed by L data bytes:
//   byte 0  L >> 8        byte 1  L & 0xFF        byte 2  b
// where b is the position bit count, the smallest b with 2^b >= P. Two heads
// carry no data: 00 00 00 (empty: paints nothing) and 80 00 00 (whole: paints
// every pixel). Any other head is a general record whose L bytes hold its
// cubes (CubeMasks); L = 0 is a general record without cubes.
struct RecordHead {
    std::uint8_t bytes[kRecordHeadSize] = {0, 0, 0};

    // The head stored in the first kRecordHeadSize bytes of a record; the
    // caller has checked that they are there.
    static RecordHead from(std::span<const std::uint8_t> record) { return {{record[0], record[1], record[2]}}; }
    // Stores the head into out[0 .. kRecordHeadSize - 1].
    void write(std::uint8_t* out) const {
        for (std::size_t k = 0; k < kRecordHeadSize; ++k) out[k] = bytes[k];
    }

    bool isEmpty() const { return bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0; }
    bool isWhole() const { return bytes[0] == 0x80 && bytes[1] == 0 && bytes[2] == 0; }
    bool isGeneral() const { return !isEmpty() && !isWhole(); }
    std::uint32_t dataLength() const { return isGeneral() ? (std::uint32_t{bytes[0]} << 8) | bytes[1] : 0; }
    int bitCount() const { return bytes[2]; }

    static RecordHead empty() { return {{0x00, 0x00, 0x00}}; }
    static RecordHead whole() { return {{0x80, 0x00, 0x00}}; }
    // A general head; dataLength must not exceed kMaxRecordDataLength.
    static RecordHead general(std::uint32_t dataLength, int b) {
        return {{static_cast<std::uint8_t>(dataLength >> 8), static_cast<std::uint8_t>(dataLength),
                 static_cast<std::uint8_t>(b)}};
    }
};

// One cube of a general record, as its two masks: care mask = zero | one,
// value = one. Position p lies in the cube when (p & one) == one and
// (~p & zero) == zero.
//
// Cube data: n = floor(4L / b) cubes of 2b bits each, packed LSB-first into
// the L bytes: stream bit q is bit (q & 7) of data byte (q >> 3). Cube k takes
// stream bits 2bk .. 2bk + 2b - 1: first its zero mask, then its one mask,
// each written from position bit b - 1 down to bit 0. Bits after the last
// cube are zero. The writer never writes a cube whose masks are both zero
// (the whole head stands for that), and readers ignore such cubes: for
// b <= 3 the zero bits that pad the last byte can look like whole cubes
// under the count rule.
struct CubeMasks {
    std::uint32_t zero = 0;
    std::uint32_t one = 0;
    bool covers(std::uint32_t p) const { return (p & one) == one && (~p & zero) == zero; }
    friend bool operator==(const CubeMasks&, const CubeMasks&) = default;
};

// The low b bits of v in reverse order (1 <= b <= 32): cube masks are
// stored most significant position bit first.
constexpr std::uint32_t reversedLowBits(std::uint32_t v, int b) {
    v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
    v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
    v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
    v = ((v >> 8) & 0x00FF00FFu) | ((v & 0x00FF00FFu) << 8);
    v = (v >> 16) | (v << 16);
    return static_cast<std::uint32_t>(std::uint64_t{v} >> (32 - b));
}

// L for n cubes of b position bits: ceil(2bn / 8).
constexpr std::uint64_t cubeDataLength(std::uint64_t cubeCount, int b) {
    return (cubeCount * 2u * static_cast<std::uint64_t>(b) + 7u) / 8u;
}
// The reader's cube count for L data bytes: floor(4L / b); 0 when b is 0.
constexpr std::uint64_t cubeCountOf(std::uint64_t dataLength, int b) {
    return b > 0 ? (4u * dataLength) / static_cast<std::uint64_t>(b) : 0;
}

// Writes cubes one after another into a caller's buffer of cube data.
// Contract: out holds exactly cubeDataLength(n, b) zeroed bytes for the n
// cubes that will be put; put() refuses (returns false, writes nothing) a
// cube that would not fit, so nothing is ever written outside out.
class CubeStreamWriter {
public:
    CubeStreamWriter(std::span<std::uint8_t> out, int b) : out_(out), b_(b) {}
    bool put(CubeMasks cube);
    std::uint64_t bitsWritten() const { return bit_; }

private:
    std::span<std::uint8_t> out_;
    int b_;
    std::uint64_t bit_ = 0;
};

constexpr std::uint64_t byteSwapped(std::uint64_t v) {
    v = ((v >> 8) & 0x00FF00FF00FF00FFu) | ((v & 0x00FF00FF00FF00FFu) << 8);
    v = ((v >> 16) & 0x0000FFFF0000FFFFu) | ((v & 0x0000FFFF0000FFFFu) << 16);
    return (v >> 32) | (v << 32);
}

// The little-endian 64-bit value of data[at .. at + 7]; bytes past the data
// read as 0.
inline std::uint64_t loadLittle64(std::span<const std::uint8_t> data, std::size_t at) {
    std::uint64_t v = 0;
    if (at + 8 <= data.size()) {
        std::memcpy(&v, data.data() + at, 8);
        if constexpr (std::endian::native == std::endian::big) v = byteSwapped(v);
        return v;
    }
    for (std::size_t i = 0; at + i < data.size() && i < 8; ++i) v |= std::uint64_t{data[at + i]} << (8 * i);
    return v;
}

// Stores v as 8 little-endian bytes at out.
inline void storeLittle64(std::uint8_t* out, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = byteSwapped(v);
    std::memcpy(out, &v, 8);
}

// v with its 64 bits in reverse order.
constexpr std::uint64_t reversedBits(std::uint64_t v) {
    v = ((v >> 1) & 0x5555555555555555u) | ((v & 0x5555555555555555u) << 1);
    v = ((v >> 2) & 0x3333333333333333u) | ((v & 0x3333333333333333u) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((v & 0x0F0F0F0F0F0F0F0Fu) << 4);
    return byteSwapped(v);
}

// The bits within each byte of a record's data reversed into out
// (data.size() + 8 bytes, the last 8 zero): read most significant bit
// first, byte after byte, it holds the cube stream in order, each cube's
// masks with their most significant digit first, as a number reads. The
// byte order stays, so this needs no more than the three swaps of
// reversedBits on each word (the compiler does several words at once).
inline void reverseBitsOfBytes(std::span<const std::uint8_t> data, std::uint8_t* out) {
    const std::size_t length = data.size();
    std::size_t j = 0;
    for (; j + 8 <= length; j += 8) {
        std::uint64_t v;
        std::memcpy(&v, data.data() + j, 8);
        v = ((v >> 1) & 0x5555555555555555u) | ((v & 0x5555555555555555u) << 1);
        v = ((v >> 2) & 0x3333333333333333u) | ((v & 0x3333333333333333u) << 2);
        v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((v & 0x0F0F0F0F0F0F0F0Fu) << 4);
        std::memcpy(out + j, &v, 8);
    }
    for (; j < length; ++j) out[j] = static_cast<std::uint8_t>(reversedBits(data[j]) >> 56);
    std::memset(out + length, 0, 8);
}

// The cube from stream bit q of data reversed by reverseBitsOfBytes (2b +
// 7 <= 64): the one mask in the low b bits, the zero mask above it, and
// above them the last bits of the cube before it (up to 7).
inline std::uint64_t cubeAt(const std::uint8_t* reversed, std::uint64_t q, int b) {
    std::uint64_t v;
    std::memcpy(&v, reversed + (q >> 3), 8);
    if constexpr (std::endian::native == std::endian::little) v = byteSwapped(v);
    return v >> (64 - 2 * b - static_cast<int>(q & 7));
}

// Cube k of a record's data, read a word at a time; requires 1 <= b <= 32
// and k < cubeCountOf(data.size(), b). Reversed, the 2b stream bits of a
// cube (zero mask, then one mask, each most significant bit first) are the
// one mask in the low b bits and the zero mask above it.
inline CubeMasks readCube(std::span<const std::uint8_t> data, int b, std::uint64_t k) {
    const std::uint64_t q = 2u * static_cast<std::uint64_t>(b) * k;
    const std::size_t at = static_cast<std::size_t>(q >> 3);
    const int shift = static_cast<int>(q & 7);
    const std::uint64_t low = (std::uint64_t{1} << b) - 1;
    if (2 * b + shift <= 64) {
        const std::uint64_t bits = reversedBits(loadLittle64(data, at) >> shift) >> (64 - 2 * b);
        return {static_cast<std::uint32_t>(bits >> b), static_cast<std::uint32_t>(bits & low)};
    }
    // Wider cubes: each mask (at most 32 + 7 bits) from a word of its own.
    const std::uint64_t qo = q + static_cast<std::uint64_t>(b);
    const std::uint64_t zero = reversedBits(loadLittle64(data, at) >> shift) >> (64 - b);
    const std::uint64_t one = reversedBits(loadLittle64(data, static_cast<std::size_t>(qo >> 3)) >> (qo & 7)) >> (64 - b);
    return {static_cast<std::uint32_t>(zero), static_cast<std::uint32_t>(one)};
}

// Reads the cubes of a record's data in order, for readers that take them
// all. Contract: 1 <= b <= 32; next() is called at most count() times.
class CubeStreamReader {
public:
    CubeStreamReader(std::span<const std::uint8_t> data, int b) : data_(data), b_(b), count_(cubeCountOf(data.size(), b)) {}
    std::uint64_t count() const { return count_; }
    CubeMasks next() { return readCube(data_, b_, next_++); }

private:
    std::span<const std::uint8_t> data_;
    int b_;
    std::uint64_t count_;
    std::uint64_t next_ = 0;
};

}  // namespace qm5
