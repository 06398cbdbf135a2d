// qm5 encode and verify with the colour options: the refusal of pictures of
// too many colours, a reduction's bytes for every thread count and its
// check by verify, and the matte of a transparent picture.
#include <gtest/gtest.h>

#include "picture/picture_loader.hpp"
#include "tests/cli_support.hpp"

namespace qm5 {
namespace {

using test::Bytes;
using test::qm5;

// 256 x 130 pixels, every one a colour of its own, in smooth gradients.
Bytes gradients() {
    std::vector<std::uint32_t> pixels;
    for (std::uint32_t y = 0; y < 130; ++y) {
        for (std::uint32_t x = 0; x < 256; ++x) pixels.push_back(x | y << 8 | ((x + y) / 2) << 16);
    }
    return test::bmp24(256, 130, pixels);
}

TEST(CliColours, TooManyColoursAreRefusedUnlessReduced) {
    test::TempDir dir;
    test::writeFile(dir / "p.bmp", gradients());
    auto r = qm5(dir, {"encode", "p.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: p.bmp: 33280 colours, more than the 32767 a texture holds; reduce them first "
                     "(see qm5(1), COLOURS)\n");

    r = qm5(dir, {"encode", "--quality", "30", "--auto", "--best", "-j", "1", "p.bmp"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(" (from 33,280), PSNR 3"), std::string::npos) << r.out;
    const Bytes one = test::readFile(dir / "p.qm5");
    ASSERT_EQ(qm5(dir, {"encode", "--quality", "30", "--auto", "--best", "-j", "2", "p.bmp"}).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "p.qm5"), one) << "-j 2 changed the bytes";

    EXPECT_EQ(qm5(dir, {"verify", "--quality", "30", "p.bmp", "p.qm5"}).exitCode, 0);
    r = qm5(dir, {"verify", "--quality", "60", "p.bmp", "p.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("below the 60.00 dB asked"), std::string::npos) << r.err;
    EXPECT_EQ(qm5(dir, {"verify", "p.bmp", "p.qm5"}).exitCode, 1) << "a reduced texture is no exact copy";

    r = qm5(dir, {"encode", "--colors", "8", "p.bmp", "-o", "eight.qm5"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(", 8 colours (from 33,280)"), std::string::npos) << r.out;
    EXPECT_EQ(qm5(dir, {"verify", "--colors", "8", "p.bmp", "eight.qm5"}).exitCode, 0);
    EXPECT_EQ(qm5(dir, {"verify", "--colors", "7", "p.bmp", "eight.qm5"}).exitCode, 1);
    EXPECT_EQ(qm5(dir, {"encode", "--quality", "0.5", "p.bmp"}).exitCode, 2);
}

// A 32-bit TGA, rows from the top: red and blue halves inside a frame of
// transparent junk, and one half-transparent green pixel.
Bytes sprite() {
    Bytes tga(18, 0);
    tga[2] = 2;
    test::put16(tga, 12, 8);
    test::put16(tga, 14, 6);
    tga[16] = 32;
    tga[17] = 0x28;
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 8; ++x) {
            const bool inside = x > 0 && x < 7 && y > 0 && y < 5;
            const std::uint8_t junk = static_cast<std::uint8_t>(37 * (x + 8 * y));
            if (x == 1 && y == 1) {
                tga.insert(tga.end(), {0, 255, 0, 128});  // B, G, R, A
            } else if (inside) {
                const std::uint8_t red = x < 4 ? 255 : 0;
                tga.insert(tga.end(), {static_cast<std::uint8_t>(255 - red), 0, red, 255});
            } else {
                tga.insert(tga.end(), {junk, std::uint8_t(junk * 3), std::uint8_t(junk * 7), 0});
            }
        }
    }
    return tga;
}

TEST(CliColours, MatteGivesTheVisibleColoursAndTheMatte) {
    test::TempDir dir;
    test::writeFile(dir / "s.tga", sprite());
    auto r = qm5(dir, {"encode", "s.tga"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("--matte COLOUR composites them onto a colour, --ignore-alpha drops"), std::string::npos) << r.err;

    r = qm5(dir, {"encode", "--matte", "#ff00ff", "--auto", "--best", "s.tga"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(", 4 colours,"), std::string::npos) << r.out;
    EXPECT_EQ(qm5(dir, {"verify", "-q", "--matte", "255,0,255", "s.tga", "s.qm5"}).exitCode, 0);
    ASSERT_EQ(qm5(dir, {"decode", "s.qm5", "-o", "s.bmp"}).exitCode, 0);
    Picture got;
    PictureLoader loader(nullptr);
    ASSERT_EQ(loader.loadAny((dir / "s.bmp").string().c_str(), got), PictureError::none);
    EXPECT_EQ(got.at(0, 0), 0xFF00FFu);
    EXPECT_EQ(got.at(1, 1), 0x7F807Fu) << "green at alpha 128 over magenta";
    EXPECT_EQ(got.at(2, 2), 0x0000FFu);
    EXPECT_EQ(got.at(5, 2), 0xFF0000u);
}

}  // namespace
}  // namespace qm5
