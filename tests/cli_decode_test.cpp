// qm5 decode, run in temporary directories: images as BMP and PNG files and
// the failures of a texture.
#include <gtest/gtest.h>

#include "picture/picture_loader.hpp"
#include "tests/cli_support.hpp"
#include "tests/texture_builder.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5 {
namespace {

using test::Bytes;
using test::qm5;
using test::writeSkyList;

TEST(CliDecode, AllImagesOfAThreePictureList) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-c", "-q", "sky.lst"}).exitCode, 0);

    auto r = qm5(dir, {"decode", "sky.qm5", "--all"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "sky-0.bmp\nsky-1.bmp\nsky-2.bmp\n");
    EXPECT_EQ(r.err, "");
    // The pictures went in as 24-bit BMP files; each comes back as the same file.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(test::readFile(dir / ("sky-" + std::to_string(i) + ".bmp")),
                  test::readFile(dir / ("s" + std::to_string(i) + ".bmp")))
            << "image " << i;

    std::filesystem::create_directory(dir / "out");
    r = qm5(dir, {"decode", "--all", "sky.qm5", "-o", "out/back.bmp", "-q"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::readFile(dir / "out" / "back-2.bmp"), test::readFile(dir / "s2.bmp"));
}

TEST(CliDecode, OneImageAndFailures) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-q", "sky.lst"}).exitCode, 0);
    auto r = qm5(dir, {"decode", "sky.qm5", "--image", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "sky.bmp\n");
    EXPECT_EQ(test::readFile(dir / "sky.bmp"), test::readFile(dir / "s2.bmp"));

    r = qm5(dir, {"decode", "sky.qm5", "--image", "3"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: sky.qm5: has no image 3; it holds 3 images\n");

    r = qm5(dir, {"decode", "sky.lst"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: sky.lst: not a Qm5 texture (the file does not start with q, m, 5)\n");

    // 4 x 4 pixels (b = 4), 14 colours: records 0..11 are general records
    // without cubes, record 12 announces 5 data bytes but the file ends.
    test::TextureBytes cut(14, 1, 4, 4);
    for (int k = 0; k < 14; ++k) cut.u32(0x010101u * static_cast<std::uint32_t>(k));
    for (int c = 0; c < 12; ++c) cut.hex("00 00 04");
    cut.hex("00 05 04 12 34");
    test::writeFile(dir / "tex.qm5", cut.bytes);
    r = qm5(dir, {"decode", "tex.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: tex.qm5: record 12 of image 0 runs past the end of the file\n");
    EXPECT_FALSE(test::fileExists(dir / "tex.bmp"));

    // --all checks every image before it writes any: a bad index in the
    // last image leaves no file behind.
    test::writeFile(dir / "two.qm5", test::TextureBytes(2, 0, 2, 1, 2).u32(5).u32(6).hex("00 01 01 02").bytes);
    r = qm5(dir, {"decode", "two.qm5", "--all"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: two.qm5: pixel (1, 0) of image 1 has index 2, want below 2\n");
    EXPECT_FALSE(test::fileExists(dir / "two-0.bmp"));
    // No picture to paint is malformed, not an empty BMP.
    test::writeFile(dir / "flat.qm5", test::TextureBytes(1, 1, 0, 4).u32(5).hex("80 00 00").bytes);
    r = qm5(dir, {"decode", "flat.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: flat.qm5: the picture size 0 x 4 holds no pixels\n");
    EXPECT_FALSE(test::fileExists(dir / "flat.bmp"));
}

// A name the user did not give never replaces a file (the picture a texture
// was made from, beside it); -o and --force do. --all writes all or
// nothing: a failure at image 2 keeps the old files of images 0 and 1 and
// leaves no temporary.
TEST(CliDecode, ReplacesOnlyNamedFilesAndAllOrNothing) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-q", "sky.lst"}).exitCode, 0);
    test::writeText(dir / "sky.bmp", "the picture");
    auto r = qm5(dir, {"decode", "sky.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: sky.bmp: exists, and its name was not given; not replaced (name the output with -o, or give "
                     "--force to replace it)\n");
    EXPECT_EQ(test::readFile(dir / "sky.bmp"), Bytes({'t', 'h', 'e', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'}));
    ASSERT_EQ(qm5(dir, {"decode", "sky.qm5", "--force", "-q"}).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "sky.bmp"), test::readFile(dir / "s0.bmp"));
    ASSERT_EQ(qm5(dir, {"decode", "sky.qm5", "-o", "sky.bmp", "--image", "1", "-q"}).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "sky.bmp"), test::readFile(dir / "s1.bmp"));

    test::writeText(dir / "sky-0.bmp", "old 0");
    test::writeText(dir / "sky-1.bmp", "old 1");
    std::filesystem::create_directory(dir / "sky-2.bmp");
    r = qm5(dir, {"decode", "sky.qm5", "--all", "--force"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("qm5: sky-2.bmp: cannot be created", 0), 0u) << r.err;
    EXPECT_EQ(test::readFile(dir / "sky-0.bmp"), Bytes({'o', 'l', 'd', ' ', '0'}));
    EXPECT_EQ(test::readFile(dir / "sky-1.bmp"), Bytes({'o', 'l', 'd', ' ', '1'}));
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(e.path().filename().string().rfind(".qm5-", 0), 0u) << e.path();
}

// The extension of --output chooses the format: PNG with a palette when the
// texture has at most 256 colours, RGB otherwise; nothing else is written.
TEST(CliDecode, PngOrBmpByExtension) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-cq", "sky.lst"}).exitCode, 0);
    auto r = qm5(dir, {"decode", "sky.qm5", "-o", "out.tga"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "qm5 decode: --output must name a .bmp or .png file, got 'out.tga'\nTry 'qm5 decode --help'.\n");
    EXPECT_FALSE(test::fileExists(dir / "out.tga"));
    if (!pngSupported()) GTEST_SKIP() << "built without libspng";

    r = qm5(dir, {"decode", "sky.qm5", "--all", "-o", "frame.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "frame-0.png\nframe-1.png\nframe-2.png\n");
    for (int i = 0; i < 3; ++i) {
        const Bytes png = test::readFile(dir / ("frame-" + std::to_string(i) + ".png"));
        ASSERT_GT(png.size(), 25u);
        EXPECT_EQ(png[25], 3) << "colour type: palette";
        // The PNG read back is the picture that went in.
        test::writeText(dir / "one.lst", "1\nframe-" + std::to_string(i) + ".png\n");
        ASSERT_EQ(qm5(dir, {"encode", "-cq", "one.lst", "-o", "again.qm5"}).exitCode, 0);
        Picture want, got;
        PictureLoader loader(nullptr);
        const Bytes texture = test::readFile(dir / "again.qm5");
        ASSERT_EQ(decodeTextureImage(std::span<const std::uint8_t>(texture), 0, got).kind, TextureProblemKind::none);
        ASSERT_EQ(loader.loadBmp24(test::readFile(dir / ("s" + std::to_string(i) + ".bmp")), want), PictureError::none);
        EXPECT_EQ(std::vector<std::uint32_t>(got.pixels.begin(), got.pixels.end()),
                  std::vector<std::uint32_t>(want.pixels.begin(), want.pixels.end())) << "image " << i;
    }
    std::filesystem::copy_file(test::sourcePath("tests/fixtures/textures/plain16_300_colours_2x2.qm5"), dir / "many.qm5");
    r = qm5(dir, {"decode", "many.qm5", "-o", "many.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(test::readFile(dir / "many.png")[25], 2) << "colour type: RGB";
}

}  // namespace
}  // namespace qm5
