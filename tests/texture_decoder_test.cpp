#include <gtest/gtest.h>

#include <tuple>

#include "texture/texture_decoder.hpp"
#include "tests/texture_builder.hpp"

namespace qm5 {
namespace {

using test::Bytes;
using test::TextureBytes;

std::vector<std::uint32_t> pixelsOf(const Picture& p) { return {p.pixels.begin(), p.pixels.end()}; }

// The format alone: the limits have tests of their own.
TextureProblemKind decode(const Bytes& file, Picture& out, std::int64_t image = 0) {
    return decodeTextureImage(std::span<const std::uint8_t>(file.data(), file.size()), image, out,
                              DecodeOptions::unlimited())
        .kind;
}

using test::workedTexture;

TEST(TextureDecoder, WorkedExampleDecodesToItsPixels) {
    Bytes file = workedTexture();
    ASSERT_EQ(file.size(), 35u);
    Picture p;
    ASSERT_EQ(decode(file, p), TextureProblemKind::none);
    EXPECT_EQ(p.width, 2);
    EXPECT_EQ(p.height, 2);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{0xFF, 0xFF00, 0xFF00, 0xFF}));
}

TEST(TextureDecoder, FillCubesOfSmallPicturesPaintNothing) {
    // 2 x 2, b = 2, colour 0 only at position 0: one cube Z = 3 (4 bits) and
    // 4 zero fill bits, which the count rule takes for a second cube.
    Bytes file = TextureBytes(2, 1, 2, 2).u32(0x10).u32(0x20).hex("00 01 02 03 80 00 00").bytes;
    Picture p;
    ASSERT_EQ(decode(file, p), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{0x10, 0x20, 0x20, 0x20}));
}

TEST(TextureDecoder, PlainIndexWidthFollowsColourCount) {
    // K = 256: one byte per pixel.
    TextureBytes k256(256, 0, 2, 1);
    for (std::uint32_t k = 0; k < 256; ++k) k256.u32(k * 3);
    k256.u8(200).u8(1);
    Picture p;
    ASSERT_EQ(decode(k256.bytes, p), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{600, 3}));

    // K = 257: two bytes per pixel.
    TextureBytes k257(257, 0, 2, 1);
    for (std::uint32_t k = 0; k < 257; ++k) k257.u32(k * 3);
    k257.u16(256).u16(200);
    ASSERT_EQ(decode(k257.bytes, p), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{768, 600}));
}

TEST(TextureDecoder, AnyFlagButOneMeansPlain) {
    Bytes file = TextureBytes(2, 2, 2, 1).u32(7).u32(9).u8(1).u8(0).bytes;
    Picture p;
    ASSERT_EQ(decode(file, p), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{9, 7}));
}

TEST(TextureDecoder, RecordsPaintFromTheLastIndexDown) {
    // 4 x 4, b = 4. Index 2 covers the top row (00--), index 5 covers the left
    // column (--00) and index 6 fills everything: position 0 lies in both
    // records 2 and 5 and ends with colour 2. Empty heads and a general head
    // without data paint nothing.
    TextureBytes t(7, 1, 4, 4);
    for (std::uint32_t k = 0; k < 7; ++k) t.u32(0x100 + k);
    t.hex("00 00 00");  // 0: empty
    t.hex("00 00 04");  // 1: general, no cubes
    t.hex("00 01 04 03");  // 2: 00--
    t.hex("00 00 00");  // 3
    t.hex("00 00 00");  // 4
    t.hex("00 01 04 0C");  // 5: --00
    t.hex("80 00 00");  // 6: whole
    Picture p;
    ASSERT_EQ(decode(t.bytes, p), TextureProblemKind::none);
    std::vector<std::uint32_t> want(16, 0x106);
    for (int x = 0; x < 4; ++x) want[static_cast<std::size_t>(x)] = 0x102;
    for (int y = 1; y < 4; ++y) want[static_cast<std::size_t>(4 * y)] = 0x105;
    EXPECT_EQ(pixelsOf(p), want);
}

TEST(TextureDecoder, CubeCountFollowsLengthAndBits) {
    // b = 16 (256 x 256 would be large; 256 x 256 positions fit b = 16 with a
    // 16 x 4096 picture too, but 256 x 2 gives b = 9). Use b = 10: 32 x 32.
    // Two cubes of 20 bits fill 5 bytes: cube 0 = position 0 exactly
    // (Z = all ones), cube 1 = position 1023 (O = all ones).
    CubeMasks cubes[2] = {{0x3FF, 0}, {0, 0x3FF}};
    Bytes data(cubeDataLength(2, 10), 0);
    CubeStreamWriter w(std::span<std::uint8_t>(data.data(), data.size()), 10);
    ASSERT_TRUE(w.put(cubes[0]));
    ASSERT_TRUE(w.put(cubes[1]));
    ASSERT_FALSE(w.put(cubes[0])) << "a third cube must not fit";
    ASSERT_EQ(data.size(), 5u);
    TextureBytes t(2, 1, 32, 32);
    t.u32(1).u32(2).hex("00 05 0A").raw(data).hex("80 00 00");
    Picture p;
    ASSERT_EQ(decode(t.bytes, p), TextureProblemKind::none);
    for (std::size_t i = 0; i < 1024; ++i) {
        const std::uint32_t want = (i == 0 || i == 1023) ? 1 : 2;
        ASSERT_EQ(p.pixels[i], want) << "pixel " << i;
    }
    EXPECT_EQ(readCube(std::span<const std::uint8_t>(data.data(), data.size()), 10, 1), cubes[1]);
}

TEST(TextureDecoder, SixteenBitCubesTakeFourBytesEach) {
    EXPECT_EQ(cubeDataLength(2, 16), 8u);
    EXPECT_EQ(cubeCountOf(8, 16), 2u);
    EXPECT_EQ(cubeCountOf(5, 10), 2u);
    EXPECT_EQ(cubeDataLength(3, 5), 4u);
    EXPECT_EQ(positionBitCount(1), 0);
    EXPECT_EQ(positionBitCount(15), 4);
    EXPECT_EQ(positionBitCount(256 * 256), 16);
    EXPECT_EQ(positionBitCount(200 * 100), 15);
}

TEST(TextureDecoder, ImagesOfAListTexture) {
    // Three 2 x 1 images, plain and compressed; image 0 is what the tester
    // shows, the others are reachable by index.
    TextureBytes plain(2, 0, 2, 1, 3, 3);
    plain.u32(5).u32(6).u8(0).u8(1).u8(1).u8(1).u8(1).u8(0);
    Picture p;
    ASSERT_EQ(decode(plain.bytes, p, 0), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{5, 6}));
    ASSERT_EQ(decode(plain.bytes, p, 2), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{6, 5}));
    EXPECT_EQ(decode(plain.bytes, p, 3), TextureProblemKind::imageTruncated);

    // b = 1: cube "position 1" is Z = 0, O = 1 -> stream bits 0 1 -> byte 0x02.
    TextureBytes packed(2, 1, 2, 1, 3);
    packed.u32(5).u32(6);
    packed.hex("00 01 01 01 80 00 00");  // image 0: colour 0 at position 0 (Z = 1 -> bit 0)
    packed.hex("80 00 00 80 00 00");     // image 1: all colour 0
    packed.hex("00 01 01 02 80 00 00");  // image 2: colour 0 at position 1
    ASSERT_EQ(decode(packed.bytes, p, 0), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{5, 6}));
    ASSERT_EQ(decode(packed.bytes, p, 1), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{5, 5}));
    ASSERT_EQ(decode(packed.bytes, p, 2), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{6, 5}));
}

TEST(TextureDecoder, UncoveredPixelsAreZero) {
    Bytes file = TextureBytes(1, 1, 2, 1).u32(9).hex("00 01 01 02").bytes;
    Picture p;
    ASSERT_EQ(decode(file, p), TextureProblemKind::none);
    EXPECT_EQ(pixelsOf(p), (std::vector<std::uint32_t>{0, 9}));
}

// The one check of header and palette every reader starts with: each fault
// with its place, every negative field at once, and the layout of a good file.
TEST(TextureLayout, ChecksHeaderAndPaletteInFileOrder) {
    const Bytes worked = workedTexture();
    Bytes badMagic = worked;
    badMagic[0] = 'Q';
    Bytes badVersion = worked;
    badVersion[4] = 101;
    const struct {
        const char* what;
        Bytes file;
        std::vector<std::tuple<TextureProblemKind, std::uint64_t, std::int64_t>> problems;  // kind, offset, value
    } cases[] = {
        {"19 bytes", Bytes(worked.begin(), worked.begin() + 19), {{TextureProblemKind::truncatedHeader, 0, 19}}},
        {"bad magic", badMagic, {{TextureProblemKind::badMagic, 0, 0}}},
        {"version 101", badVersion, {{TextureProblemKind::badVersion, 4, 101}}},
        {"K, W and H negative", TextureBytes(0xFFFF, 0, 0x8000, 0xFFFE).bytes,
         {{TextureProblemKind::negativeField, 6, -1}, {TextureProblemKind::negativeField, 14, -32768},
          {TextureProblemKind::negativeField, 16, -2}}},
        {"no pixels, no colours, palette cut", TextureBytes(0, 0, 0, 2).bytes,
         {{TextureProblemKind::zeroSize, 14, 0}, {TextureProblemKind::noColours, 6, 0}}},
        {"palette cut", Bytes(worked.begin(), worked.begin() + 27), {{TextureProblemKind::paletteTruncated, 20, 0}}},
        {"the worked texture", worked, {}},
    };
    for (const auto& c : cases) {
        const LayoutCheck check = checkTextureLayout(c.file);
        std::vector<std::tuple<TextureProblemKind, std::uint64_t, std::int64_t>> got;
        for (const TextureProblem& p : check.all()) got.emplace_back(p.kind, p.offset, p.value);
        EXPECT_EQ(got, c.problems) << c.what;
    }
    const LayoutCheck good = checkTextureLayout(worked);
    EXPECT_EQ(good.layout.pixelCount, 4u);
    EXPECT_EQ(good.layout.positionBits, 2);
    EXPECT_EQ(good.layout.imagesOffset, 28u);
    EXPECT_EQ(good.layout.colour(1), 0xFF00u);
}

TEST(TextureDecoder, RefusesMalformedFiles) {
    struct Case {
        const char* name;
        Bytes file;
        TextureProblemKind want;
    };
    Bytes badMagic = workedTexture();
    badMagic[2] = '6';
    Bytes badVersion = workedTexture();
    badVersion[4] = 101;
    const Case cases[] = {
        {"empty", {}, TextureProblemKind::truncatedHeader},
        {"bad magic", badMagic, TextureProblemKind::badMagic},
        {"version 101", badVersion, TextureProblemKind::badVersion},
        {"negative K", TextureBytes(0x8000, 0, 1, 1).bytes, TextureProblemKind::negativeField},
        {"negative W", TextureBytes(1, 0, 0xFFFF, 1).u32(0).u8(0).bytes, TextureProblemKind::negativeField},
        {"negative H", TextureBytes(1, 0, 1, 0x8001).u32(0).u8(0).bytes, TextureProblemKind::negativeField},
        {"palette cut", TextureBytes(3, 0, 1, 1).u32(0).u16(0).bytes, TextureProblemKind::paletteTruncated},
        {"no colours", TextureBytes(0, 1, 2, 2).bytes, TextureProblemKind::noColours},
        {"width 0", TextureBytes(1, 1, 0, 2).u32(0).hex("80 00 00").bytes, TextureProblemKind::zeroSize},
        {"height 0", TextureBytes(1, 0, 2, 0).u32(0).bytes, TextureProblemKind::zeroSize},
        {"plain image cut", TextureBytes(1, 0, 4, 4).u32(0).u8(0).bytes, TextureProblemKind::imageTruncated},
        {"huge header, tiny file", TextureBytes(32767, 1, 32767, 32767).u32(0).bytes, TextureProblemKind::paletteTruncated},
        {"plain index at K", TextureBytes(2, 0, 2, 1).u32(0).u32(1).u8(0).u8(2).bytes, TextureProblemKind::indexOutOfRange},
        {"negative 16-bit index", [] {
             TextureBytes t(300, 0, 1, 1);
             for (int k = 0; k < 300; ++k) t.u32(0);
             return t.u16(0xFFFF).bytes;
         }(), TextureProblemKind::indexOutOfRange},
        {"record head cut", TextureBytes(2, 1, 2, 2).u32(0).u32(1).hex("80 00").bytes, TextureProblemKind::recordTruncated},
        {"record data past end", TextureBytes(2, 1, 2, 2).u32(0).u32(1).hex("00 05 02 C3 80 00 00").bytes,
         TextureProblemKind::recordTruncated},
        {"b = 0", TextureBytes(2, 1, 2, 2).u32(0).u32(1).hex("00 01 00 C3 80 00 00").bytes, TextureProblemKind::wrongBitCount},
        {"b = 31", TextureBytes(2, 1, 2, 2).u32(0).u32(1).hex("00 01 1F C3 80 00 00").bytes,
         TextureProblemKind::wrongBitCount},
    };
    for (const Case& c : cases) {
        Picture p;
        EXPECT_EQ(decode(c.file, p), c.want) << c.name << ": got " << static_cast<int>(decode(c.file, p));
        EXPECT_TRUE(p.pixels.empty()) << c.name << ": a refused file must give no picture";
    }
}

TEST(TextureDecoder, EveryTruncationFailsCleanly) {
    // Compressed, plain 8-bit and plain 16-bit textures cut at every length:
    // each must decode fully or fail, never read past the end (ASan builds).
    TextureBytes wide(257, 0, 3, 3);
    for (int k = 0; k < 257; ++k) wide.u32(static_cast<std::uint32_t>(k));
    for (int i = 0; i < 9; ++i) wide.u16(static_cast<std::uint16_t>(i * 30));
    const Bytes files[] = {workedTexture(), TextureBytes(2, 0, 3, 2).u32(1).u32(2).hex("00 01 01 00 01 01").bytes,
                           wide.bytes};
    for (const Bytes& full : files) {
        Picture p;
        ASSERT_EQ(decode(full, p), TextureProblemKind::none);
        for (std::size_t n = 0; n < full.size(); ++n) {
            Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
            Picture q;
            EXPECT_NE(decode(cut, q), TextureProblemKind::none) << "length " << n << " of " << full.size();
        }
    }
}

TEST(TextureDecoder, LargePictureLimitIsCheckedBeforeAllocating) {
    Bytes file = TextureBytes(1, 1, 32767, 32767).u32(0).hex("80 00 00").bytes;
    Picture p;
    DecodeOptions small;
    small.maxPixels = 1u << 20;
    EXPECT_EQ(decodeTextureImage(std::span<const std::uint8_t>(file.data(), file.size()), 0, p, small).kind,
              TextureProblemKind::tooLarge);
}

}  // namespace
}  // namespace qm5
