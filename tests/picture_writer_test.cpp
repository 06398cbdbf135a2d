#include <gtest/gtest.h>

#include "picture/picture_loader.hpp"
#include "tests/test_support.hpp"

namespace qm5 {
namespace {

using test::Bytes;

Picture make(std::int32_t w, std::int32_t h) {
    Picture p;
    EXPECT_TRUE(p.allocate(w, h));
    for (std::size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = 0x010203u * static_cast<std::uint32_t>(i + 1);
    return p;
}

TEST(DetectFormat, ClassifiesByTheFirstBytesOnly) {
    struct Case {
        Bytes start;
        PictureFormat want;
    };
    const Case cases[] = {
        {{'B', 'M'}, FormatBmp},
        {{'B', 'M', 0xFF, 0xFF}, FormatBmp},
        {{'G', 'I', 'F', '8', '9'}, FormatGif},
        {{'G', 'I'}, FormatUnknown},
        {{0x0A, 0x05}, FormatPcx},
        {{0x0A, 0x00}, FormatPcx},
        {{0x0A, 0x02}, FormatPcx},
        {{0x0A, 0x03}, FormatPcx},
        {{0x0A, 0x01}, FormatUnknown},
        {{0x0A, 0x04}, FormatUnknown},
        {{0x0A}, FormatUnknown},
        {{'B'}, FormatUnknown},
        {{}, FormatUnknown},
        {{'3', '\n', 'a'}, FormatUnknown},
    };
    test::TempDir dir;
    int i = 0;
    for (const Case& c : cases) {
        const auto path = dir / ("f" + std::to_string(i++));
        test::writeFile(path, c.start);
        PictureLoader loader;
        EXPECT_EQ(loader.detectFormat(path.string().c_str()), c.want) << "bytes " << test::hex(c.start);
    }
    PictureLoader loader;
    EXPECT_EQ(loader.detectFormat((dir / "missing").string().c_str()), FormatUnknown);
    Picture p;
    EXPECT_NE(loader.loadGif((dir / "f2").string().c_str(), p), PictureError::none);
}

TEST(BmpWriter, OnePixelFileIsFiftyEightBytes) {
    Picture p;
    ASSERT_TRUE(p.allocate(1, 1));
    p.pixels[0] = 0x112233;
    const Bytes want = test::fromHex(
        "42 4D 3A 00 00 00 00 00 00 00 36 00 00 00"
        " 28 00 00 00 01 00 00 00 01 00 00 00 01 00 18 00 00 00 00 00 04 00 00 00"
        " 60 00 00 00 60 00 00 00 00 00 00 00 00 00 00 00"
        " 11 22 33 00");
    const Bytes got = test::bmp24(p);
    EXPECT_EQ(test::hex(got), test::hex(want));
}

TEST(BmpWriter, RowsArePaddedWithZerosAndStoredBottomUp) {
    for (std::int32_t w : {4, 5, 6, 7}) {
        const std::uint32_t rowLength = (3 * static_cast<std::uint32_t>(w) + 3) & ~3u;
        const Picture p = make(w, 3);
        const Bytes got = test::bmp24(p);
        ASSERT_EQ(got.size(), 54 + 3 * rowLength) << "width " << w;
        EXPECT_EQ(got[34] | got[35] << 8, static_cast<int>(3 * rowLength)) << "image size, width " << w;
        for (std::int32_t stored = 0; stored < 3; ++stored) {
            const std::int32_t y = 2 - stored;  // the first stored row is the bottom row
            const std::uint8_t* row = got.data() + 54 + stored * rowLength;
            for (std::int32_t x = 0; x < w; ++x) {
                const std::uint32_t v = p.at(x, y);
                ASSERT_EQ(row[3 * x], (v >> 16) & 0xFF) << "w " << w << " row " << y << " x " << x;
                ASSERT_EQ(row[3 * x + 1], (v >> 8) & 0xFF);
                ASSERT_EQ(row[3 * x + 2], v & 0xFF);
            }
            for (std::uint32_t f = 3 * static_cast<std::uint32_t>(w); f < rowLength; ++f)
                EXPECT_EQ(row[f], 0) << "fill byte " << f << " of width " << w;
        }
    }
}

TEST(BmpWriter, HeightZeroWritesHeadersOnly) {
    Picture p;
    ASSERT_TRUE(p.allocate(5, 0));
    const Bytes got = test::bmp24(p);
    ASSERT_EQ(got.size(), 54u);
    EXPECT_EQ(got[2], 54);
    EXPECT_EQ(got[34], 0);
}

TEST(BmpWriter, WritesAndReplacesFiles) {
    test::TempDir dir;
    const auto path = dir / "out.bmp";
    test::writeText(path, "old contents");
    const Picture p = make(3, 2);
    PictureLoader loader;
    ASSERT_EQ(loader.writeBmp24(path.string().c_str(), p), 1);
    EXPECT_EQ(test::readFile(path), test::bmp24(p));
    EXPECT_EQ(loader.writeBmp24((dir / "no-such-dir" / "x.bmp").string().c_str(), p), 0);
    EXPECT_EQ(loader.writeBmp24(dir.path().string().c_str(), p), 0) << "a directory is not a destination";
    // No temporary file is left behind.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

}  // namespace
}  // namespace qm5
