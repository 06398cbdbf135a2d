// qm5 info and qm5 verify, run in temporary directories: what a texture
// holds, what is wrong with it, and whether it holds its pictures.
#include <gtest/gtest.h>

#include "tests/cli_support.hpp"
#include "tests/texture_builder.hpp"

namespace qm5 {
namespace {

using test::bmp24;
using test::Bytes;
using test::qm5;
using test::randomPixels;
using test::writeSkyList;

const Bytes kWorkedTexture = test::workedTexture();

TEST(CliInfo, ValidTextures) {
    test::TempDir dir;
    test::writeFile(dir / "tex.qm5", kWorkedTexture);
    auto r = qm5(dir, {"info", "tex.qm5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "file: tex.qm5\n"
              "file size: 35 bytes\n"
              "version: 100\n"
              "width: 2\n"
              "height: 2\n"
              "colours: 2\n"
              "mipmap levels: 1\n"
              "images: 1\n"
              "compression: 1 (colour records)\n"
              "position bits: 2\n"
              "palette: 8 bytes at offset 20\n"
              "image 0: compressed, 7 bytes at offset 28, 43 % of true colour, records: 0 empty, 1 whole, "
              "1 general, 2 cubes\n"
              "status: valid\n");

    // What the maker writes is valid, also where b <= 3 leaves fill bits
    // that read as cubes (2 x 1: b = 1, one cube of 2 bits in a byte).
    test::writeFile(dir / "two.bmp", bmp24(2, 1, {0x10, 0x20}));
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-cq", "two.bmp"}).exitCode, 0);
    ASSERT_EQ(qm5(dir, {"encode", "-cq", "sky.lst"}).exitCode, 0);
    r = qm5(dir, {"info", "two.qm5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("records: 0 empty, 1 whole, 1 general, 1 cubes\n"), std::string::npos) << r.out;
    r = qm5(dir, {"info", "sky.qm5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("images: 3\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("image 2: compressed"), std::string::npos) << r.out;
}

TEST(CliInfo, CorruptedTexturesSayWhatIsWrongWhere) {
    test::TempDir dir;
    // 4 x 4 (b = 4), 3 colours: record 0 has b = 5; record 1 one cube whose
    // position bit 0 is in both masks (Z = O = 0001: stream bits 3 and 7);
    // record 2 runs past the end.
    test::TextureBytes bad(3, 1, 4, 4);
    bad.u32(1).u32(2).u32(3).hex("00 01 05 00").hex("00 01 04 88").hex("00 05 04 00");
    test::writeFile(dir / "tex.qm5", bad.bytes);
    auto r = qm5(dir, {"info", "tex.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "qm5: tex.qm5: record 0 of image 0 has b = 5, want 4 for 4 x 4 pixels\n"
              "qm5: tex.qm5: cube 0 of record 1 of image 0 has position bit 0 in both masks\n"
              "qm5: tex.qm5: record 2 of image 0 runs past the end of the file\n");
    EXPECT_NE(r.out.find("cut short by the end of the file\nstatus: 3 problems\n"), std::string::npos) << r.out;

    // Plain 2 x 2 with 2 colours: an index outside the palette, then a byte
    // after the last image.
    test::TextureBytes plain(2, 0, 2, 2);
    plain.u32(1).u32(2).hex("00 01 05 07 AA");
    test::writeFile(dir / "plain.qm5", plain.bytes);
    r = qm5(dir, {"info", "plain.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "qm5: plain.qm5: pixel (0, 1) of image 0 has index 5, want below 2 (2 such pixels in the image)\n"
              "qm5: plain.qm5: 1 byte follows the last image\n");

    test::TextureBytes version(1, 0, 1, 1);
    version.bytes[4] = 101;
    test::writeFile(dir / "v.qm5", version.bytes);
    r = qm5(dir, {"info", "v.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: v.qm5: version 101, want 100\n");

    r = qm5(dir, {"info", "none.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("qm5: none.qm5: cannot be opened (", 0), 0u) << r.err;
}

TEST(CliVerify, MatchAndMismatch) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-cq", "sky.lst"}).exitCode, 0);
    auto r = qm5(dir, {"verify", "sky.lst", "sky.qm5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "sky.qm5: 3 images match sky.lst\n");
    EXPECT_EQ(r.err, "");

    // One pixel of the second picture changed after encoding.
    auto pixels = randomPixels(64, 4, 11);
    pixels[8 * 5 + 3] = 0x123456;
    test::writeFile(dir / "s1.bmp", bmp24(8, 8, pixels));
    const std::uint32_t was = randomPixels(64, 4, 11)[8 * 5 + 3];
    char want[160];
    std::snprintf(want, sizeof want,
                  "qm5: sky.qm5: image 1 differs from s1.bmp at pixel (3, 5): colour 0x%06X, want 0x123456\n", was);
    r = qm5(dir, {"verify", "sky.lst", "sky.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, want);

    r = qm5(dir, {"verify", "s0.bmp", "sky.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: sky.qm5: holds 3 images, but s0.bmp holds 1 picture\n");

    r = qm5(dir, {"verify", "-q", "s0.bmp", "sky.lst"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: sky.lst: not a Qm5 texture (the file does not start with q, m, 5)\n");
}

}  // namespace
}  // namespace qm5
