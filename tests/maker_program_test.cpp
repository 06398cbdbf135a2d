// Runs the built qm5_maker (and qm5_test for round trips) in temporary
// directories with empty standard input and compares console output and
// files byte for byte.
#include <gtest/gtest.h>

#include "picture/picture_loader.hpp"
#include "maker/maker_app.hpp"
#include "texture/texture_decoder.hpp"
#include "tests/picture_fixtures.hpp"
#include "tests/synthetic_picture.hpp"
#include "tests/test_support.hpp"
#include "tests/texture_builder.hpp"

namespace qm5 {
namespace {

using test::bmp24;
using test::Bytes;
using test::randomPixels;

const std::string kBanner =
    "                    ____Qm5_maker v1.0____ \n"
    "                      Supports .bmp .pcx   \n"
    "                      and true-color bmp    \n\n\n";

test::RunResult maker(const test::TempDir& dir, std::vector<std::string> args) {
    return test::runProgram(QM5_MAKER_BIN, args, dir.path());
}

std::string loadingLines(int count) {
    std::string s = "Loading picture #0 ..";
    for (int i = 0; i < count; ++i) s += "\rLoading picture #" + std::to_string(i) + " ..";
    return s + "\rLoading picture #" + std::to_string(count - 1) + " ..\n";
}

const Bytes kWorkedTexture = test::workedTexture();

TEST(MakerProgram, WorkedTwoByTwoRunCompressed) {
    test::TempDir dir;
    test::writeFile(dir / "wall.bmp", bmp24(2, 2, {0xFF, 0xFF00, 0xFF00, 0xFF}));
    const auto r = maker(dir, {"wall.bmp", "c"});
    const std::string want = kBanner + "Single image ...\n" + "Locking memory for images (1)..\n" + loadingLines(1) +
                             "Creating palette (  0 cols found,   0 % done)"
                             "\rCreating palette (  2 cols found, 100 % done)\n"
                             " 1 MipMaps to do .."
                             "\rCreating MipMaps [ 0 /  1 :   0 %]"
                             "\rCreating MipMaps [ 1 /  1 : 100 %]\n"
                             "Writing texture to HDD ..\n"
                             "   - Writing header ..\n"
                             "   - Writing palette ..\n"
                             "   - Compressing image ..\n"
                             "\r        - Image   1, chunk    1 /    2, compress =  50 %"
                             "\r        - Image   1, chunk    2 /    2, compress =  43 %"
                             "\n";
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(test::hex(test::readFile(dir / "wall.qm5")), test::hex(kWorkedTexture));
}

TEST(MakerProgram, WorkedTwoByTwoRunPlain) {
    test::TempDir dir;
    test::writeFile(dir / "wall.bmp", bmp24(2, 2, {0xFF, 0xFF00, 0xFF00, 0xFF}));
    const auto r = maker(dir, {"wall.bmp"});
    const std::string tail =
        "Writing texture to HDD ..\n"
        "   - Writing header ..\n"
        "   - Writing palette ..\n"
        "   - Writing image ..\n"
        "\r        - Bitmap   0\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    Bytes want(kWorkedTexture.begin(), kWorkedTexture.begin() + 28);
    want[12] = 0;
    for (std::uint8_t i : {0, 1, 1, 0}) want.push_back(i);
    EXPECT_EQ(test::hex(test::readFile(dir / "wall.qm5")), test::hex(want));
    EXPECT_EQ(r.exitCode, 0);
}

TEST(MakerProgram, ArgumentCountDecidesCompression) {
    test::TempDir dir;
    test::writeFile(dir / "a.bmp", bmp24(2, 2, {0xFF, 0xFF00, 0xFF00, 0xFF}));
    maker(dir, {"a.bmp", "anything"});
    EXPECT_EQ(test::readFile(dir / "a.qm5")[12], 1) << "two arguments: compressed";
    maker(dir, {"a.bmp", "c", "c"});
    EXPECT_EQ(test::readFile(dir / "a.qm5")[12], 0) << "three arguments: plain";
}

TEST(MakerProgram, NoArgument) {
    test::TempDir dir;
    const auto r = maker(dir, {});
    EXPECT_EQ(r.out, kBanner + " ERROR : Program must be executed with params !\n");
    EXPECT_EQ(r.exitCode, 1);
}

TEST(MakerProgram, MissingFileIsTriedAsAList) {
    test::TempDir dir;
    const auto r = maker(dir, {"nothing.bmp", "c"});
    EXPECT_EQ(r.out, kBanner + "Loading filelist ...\n ERROR : Unknown format !\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(test::fileExists(dir / "nothing.qm5"));
}

TEST(MakerProgram, GifIsRecognisedButNotRead) {
    test::TempDir dir;
    test::writeText(dir / "pic.gif", "GIF89a and more");
    const auto r = maker(dir, {"pic.gif"});
    EXPECT_EQ(r.out, kBanner + "Single image ...\nLocking memory for images (1)..\n"
                               "Loading picture #0 ..\rLoading picture #0 .. ERROR : Error loading picture !\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(test::fileExists(dir / "pic.qm5"));
}

TEST(MakerProgram, ListOfDifferentSizes) {
    test::TempDir dir;
    test::writeFile(dir / "a.bmp", bmp24(32, 64, randomPixels(32 * 64, 5, 1)));
    test::writeFile(dir / "b.bmp", bmp24(64, 32, randomPixels(32 * 64, 5, 2)));
    test::writeText(dir / "list.txt", "2\na.bmp 0\nb.bmp 0\n");
    const auto r = maker(dir, {"list.txt"});
    EXPECT_EQ(r.out, kBanner + "Loading filelist ...\nLocking memory for images (2)..\n"
                               "Loading picture #0 ..\rLoading picture #0 ..\rLoading picture #1 .."
                               " ERROR : Pictures must be same size !\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(test::fileExists(dir / "list.qm5"));
}

TEST(MakerProgram, EmptyListIsRefused) {
    test::TempDir dir;
    test::writeText(dir / "list.txt", "0\na.bmp 0\n");
    const auto r = maker(dir, {"list.txt"});
    EXPECT_EQ(r.out, kBanner + "Loading filelist ...\n ERROR : File list holds no pictures !\n");
    EXPECT_EQ(r.exitCode, 1);
}

TEST(MakerProgram, NonPowerOfTwoSkipsMipmapsButWrites) {
    test::TempDir dir;
    test::writeFile(dir / "p.bmp", bmp24(100, 100, randomPixels(100 * 100, 3, 3)));
    const auto r = maker(dir, {"p.bmp"});
    const std::string mip =
        " ERROR : Bitmaps must be power-of-two size !\n"
        " ERROR : Skipping mipmaps !\n"
        "\rCreating MipMaps [ 0 /  0 : 100 %]\n";
    EXPECT_NE(r.out.find("done)\n" + mip + "Writing texture to HDD ..\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.exitCode, 0);
    const Bytes file = test::readFile(dir / "p.qm5");
    ASSERT_EQ(file.size(), 20u + 4 * 3 + 100 * 100);
    EXPECT_EQ(file[8], 0) << "no mipmap levels";
}

TEST(MakerProgram, OnePixelPicture) {
    test::TempDir dir;
    test::writeFile(dir / "one.bmp", bmp24(1, 1, {0x123456}));
    const auto r = maker(dir, {"one.bmp", "c"});
    EXPECT_NE(r.out.find(" 0 MipMaps to do ..\rCreating MipMaps [ 0 /  0 : 100 %]\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r        - Image   1, chunk    1 /    1, compress =  75 %\n"), std::string::npos) << r.out;
    EXPECT_EQ(test::hex(test::readFile(dir / "one.qm5")),
              "71 6D 35 00 64 00 01 00 00 00 01 00 01 00 01 00 01 00 00 00 56 34 12 00 80 00 00");
}

TEST(MakerProgram, PlainIndexWidthFollowsColourCount) {
    for (std::uint32_t colours : {256u, 257u}) {
        test::TempDir dir;
        std::vector<std::uint32_t> pixels(32 * 16);
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = (static_cast<std::uint32_t>(i) % colours) * 7;
        test::writeFile(dir / "k.bmp", bmp24(32, 16, pixels));
        const auto r = maker(dir, {"k.bmp"});
        ASSERT_EQ(r.exitCode, 0) << r.out;
        const Bytes file = test::readFile(dir / "k.qm5");
        const std::size_t indexBytes = colours > 256 ? 2 : 1;
        EXPECT_EQ(file.size(), 20 + 4 * colours + 32 * 16 * indexBytes) << colours << " colours";
    }
}

TEST(MakerProgram, ThreePictureList) {
    for (bool compress : {false, true}) {
        test::TempDir dir;
        for (int i = 0; i < 3; ++i)
            test::writeFile(dir / ("s" + std::to_string(i) + ".bmp"),
                            bmp24(8, 8, randomPixels(64, 4, static_cast<std::uint32_t>(10 + i))));
        test::writeText(dir / "sky.lst", "3\ns0.bmp 0\ns1.bmp 0\ns2.bmp 7\n");
        std::vector<std::string> args = {"sky.lst"};
        if (compress) args.push_back("c");
        const auto r = maker(dir, args);
        ASSERT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find(loadingLines(3)), std::string::npos) << r.out;
        if (compress) {
            for (int i = 1; i <= 3; ++i)
                EXPECT_NE(r.out.find("\r        - Image   " + std::to_string(i) + ", chunk    1 /"), std::string::npos);
        } else {
            EXPECT_NE(r.out.find("\r        - Bitmap   0\n\r        - Bitmap   1\n\r        - Bitmap   2\n"),
                      std::string::npos) << r.out;
        }
        const Bytes file = test::readFile(dir / "sky.qm5");
        EXPECT_EQ(file[10], 3) << "image count";
        EXPECT_EQ(file[8], 3) << "mipmap levels of 8 x 8";
        // Every image decodes back to its picture.
        for (int i = 0; i < 3; ++i) {
            Picture got;
            ASSERT_EQ(decodeTextureImage(std::span<const std::uint8_t>(file.data(), file.size()), i, got).kind,
                      TextureProblemKind::none);
            const auto want = randomPixels(64, 4, static_cast<std::uint32_t>(10 + i));
            EXPECT_EQ(std::vector<std::uint32_t>(got.pixels.begin(), got.pixels.end()), want) << "image " << i;
        }
    }
}

TEST(MakerProgram, FailedRunKeepsTheOldTexture) {
    test::TempDir dir;
    test::writeText(dir / "wall.qm5", "previous texture");
    test::writeText(dir / "wall.bmp", "BM but nothing else");
    const auto r = maker(dir, {"wall.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    const std::string old = "previous texture";
    EXPECT_EQ(test::readFile(dir / "wall.qm5"), Bytes(old.begin(), old.end()));
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 2) << "no temporary file left behind";
}

TEST(MakerProgram, UnwritableDestinationIsReported) {
    test::TempDir dir;
    test::writeFile(dir / "wall.bmp", bmp24(2, 2, {1, 2, 3, 4}));
    std::filesystem::create_directory(dir / "wall.qm5");
    const auto r = maker(dir, {"wall.bmp"});
    EXPECT_NE(r.out.find(" ERROR : Cannot open destination file !\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Writing texture to HDD"), std::string::npos);
    EXPECT_EQ(r.exitCode, 1);
}

TEST(MakerProgram, RoundTripThroughTheTester) {
    test::TempDir dir;
    const auto pixels = randomPixels(24 * 20, 37, 99);
    test::writeFile(dir / "pic.bmp", bmp24(24, 20, pixels));
    ASSERT_EQ(maker(dir, {"pic.bmp"}).exitCode, 0);
    std::filesystem::rename(dir / "pic.qm5", dir / "pcx_uncompr.qm5");
    ASSERT_EQ(maker(dir, {"pic.bmp", "c"}).exitCode, 0);
    std::filesystem::rename(dir / "pic.qm5", dir / "pcx_compr.qm5");
    ASSERT_EQ(test::runProgram(QM5_TEST_BIN, {}, dir.path()).exitCode, 0);
    // Both decode to the very file that went in.
    EXPECT_EQ(test::readFile(dir / "qm5.bmp"), test::readFile(dir / "pic.bmp"));
    EXPECT_EQ(test::readFile(dir / "qm5_compr.bmp"), test::readFile(dir / "pic.bmp"));
}

TEST(MakerProgram, OutputNameRule) {
    char name[256];
    ASSERT_TRUE(MakerApp::outputNameFor("pics\\wall.bmp", name));
    EXPECT_STREQ(name, "pics\\wall.qm5");
    ASSERT_TRUE(MakerApp::outputNameFor("wall", name));
    EXPECT_STREQ(name, "wall.qm5");
    // Only a dot of the last component starts the extension.
    ASSERT_TRUE(MakerApp::outputNameFor("..\\pics\\wall", name));
    EXPECT_STREQ(name, "..\\pics\\wall.qm5");
    ASSERT_TRUE(MakerApp::outputNameFor("a/b.c/d.bmp", name));
    EXPECT_STREQ(name, "a/b.c/d.qm5");
    EXPECT_FALSE(MakerApp::outputNameFor(std::string(256, 'a').c_str(), name));
    EXPECT_FALSE(MakerApp::outputNameFor(std::string(253, 'a').c_str(), name)) << "253 + .qm5 is 257";
    ASSERT_TRUE(MakerApp::outputNameFor(std::string(251, 'a').c_str(), name));

    // The program writes the texture beside its picture.
    test::TempDir dir;
    std::filesystem::create_directory(dir / "pics.v2");
    test::writeFile(dir / "pics.v2" / "wall", bmp24(2, 2, {1, 2, 3, 4}));
    ASSERT_EQ(maker(dir, {"pics.v2/wall"}).exitCode, 0);
    EXPECT_TRUE(test::fileExists(dir / "pics.v2" / "wall.qm5"));
    EXPECT_FALSE(test::fileExists(dir / "pics.qm5"));
}

}  // namespace
}  // namespace qm5

namespace qm5 {
namespace {

// Every picture fixture made by an independent encoder goes through the
// maker plain and compressed and comes back out of qm5_test with its own
// colours, 8-bit BMP pictures included.
TEST(MakerProgram, FixturesRoundTripThroughTheTester) {
    std::vector<std::filesystem::path> fixtures = test::pictureFixtures(".bmp");
    for (const auto& p : test::pictureFixtures(".pcx")) fixtures.push_back(p);
    ASSERT_GE(fixtures.size(), 10u);
    for (const auto& fixture : fixtures) {
        SCOPED_TRACE(fixture.filename().string());
        test::TempDir dir;
        const std::string input = "in" + fixture.extension().string();
        std::filesystem::copy_file(fixture, dir / input);
        ASSERT_EQ(maker(dir, {input}).exitCode, 0);
        std::filesystem::rename(dir / "in.qm5", dir / "pcx_uncompr.qm5");
        ASSERT_EQ(maker(dir, {input, "c"}).exitCode, 0);
        std::filesystem::rename(dir / "in.qm5", dir / "pcx_compr.qm5");
        ASSERT_EQ(test::runProgram(QM5_TEST_BIN, {}, dir.path()).exitCode, 0);

        const auto want = test::readPpm(test::expectedDecode(fixture));
        ASSERT_TRUE(want.has_value());
        // The BMP written by the tester read back by the 24-bit reader.
        for (const char* out : {"qm5.bmp", "qm5_compr.bmp"}) {
            Picture got;
            PictureLoader loader;
            ASSERT_EQ(loader.loadBmp24((dir / out).string().c_str(), got), PictureError::none) << out;
            EXPECT_EQ(test::compare(got, *want), "") << out;
        }
    }
}

}  // namespace
}  // namespace qm5
