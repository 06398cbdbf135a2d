// The texture file writer: the bytes it writes, and every way a caller could
// make a file disagree with its own header, which it must refuse.
#include <gtest/gtest.h>

#include <functional>

#include "texture/texture_writer.hpp"
#include "tests/test_support.hpp"
#include "tests/texture_builder.hpp"

namespace qm5 {
namespace {

using test::Bytes;

// The worked 2 x 2 picture as palette indices, its palette and its records.
struct Worked {
    Picture picture;
    const Picture* pictures[1] = {&picture};
    std::uint32_t palette[2] = {0xFF, 0xFF00};
    std::vector<Bytes> records = {test::fromHex("00 01 02 C3"), test::fromHex("80 00 00")};

    Worked() {
        EXPECT_TRUE(picture.allocate(2, 2));
        for (std::size_t p = 0; p < 4; ++p) picture.pixels[p] = (p == 0 || p == 3) ? 0 : 1;
    }
};

// Hands over records as they are, each under the colour given.
RecordSource sourceOf(std::vector<std::pair<std::uint32_t, Bytes>> records) {
    return [records](const RecordSink& sink) {
        for (const auto& [colour, record] : records) {
            if (!sink(colour, record)) return true;
        }
        return true;
    };
}

TEST(TextureFileWriter, WritesHeaderPaletteAndImages) {
    test::TempDir dir;
    Worked w;
    TextureFileWriter compressed(w.pictures, w.palette, 1);
    ASSERT_TRUE(compressed.open((dir / "c.qm5").string().c_str()));
    compressed.writeHeader(true);
    compressed.writePalette();
    ASSERT_TRUE(compressed.writeRecords(sourceOf({{0, w.records[0]}, {1, w.records[1]}})));
    ASSERT_TRUE(compressed.commit());
    EXPECT_EQ(test::hex(test::readFile(dir / "c.qm5")), test::hex(test::workedTexture()));

    TextureFileWriter plain(w.pictures, w.palette, 1);
    ASSERT_TRUE(plain.open((dir / "p.qm5").string().c_str()));
    plain.writeHeader(false);
    plain.writePalette();
    ASSERT_TRUE(plain.writePlainImage());
    ASSERT_TRUE(plain.commit());
    Bytes want = test::workedTexture();
    want.resize(28);
    want[12] = 0;  // compression flag
    for (const std::uint8_t index : {0, 1, 1, 0}) want.push_back(index);
    EXPECT_EQ(test::hex(test::readFile(dir / "p.qm5")), test::hex(want));
}

TEST(TextureFileWriter, RefusesAFileThatWouldDisagreeWithItsHeader) {
    Worked w;
    const Bytes& r0 = w.records[0];
    const Bytes& r1 = w.records[1];
    const struct {
        const char* what;
        std::function<void(TextureFileWriter&)> steps;  // after open
    } cases[] = {
        {"records out of colour order", [&](TextureFileWriter& f) {
             f.writeHeader(true);
             f.writePalette();
             EXPECT_FALSE(f.writeRecords(sourceOf({{1, r1}, {0, r0}})));
         }},
        {"a record missing", [&](TextureFileWriter& f) {
             f.writeHeader(true);
             f.writePalette();
             EXPECT_FALSE(f.writeRecords(sourceOf({{0, r0}})));
         }},
        {"a record too many", [&](TextureFileWriter& f) {
             f.writeHeader(true);
             f.writePalette();
             EXPECT_FALSE(f.writeRecords(sourceOf({{0, r0}, {1, r1}, {2, r1}})));
         }},
        {"a head whose length is not the record's", [&](TextureFileWriter& f) {
             f.writeHeader(true);
             f.writePalette();
             EXPECT_FALSE(f.writeRecords(sourceOf({{0, test::fromHex("00 02 02 C3")}, {1, r1}})));
         }},
        {"a general record with another b", [&](TextureFileWriter& f) {
             f.writeHeader(true);
             f.writePalette();
             EXPECT_FALSE(f.writeRecords(sourceOf({{0, test::fromHex("00 01 03 C3")}, {1, r1}})));
         }},
        {"the source fails", [&](TextureFileWriter& f) {
             f.writeHeader(true);
             f.writePalette();
             EXPECT_FALSE(f.writeRecords([](const RecordSink&) { return false; }));
         }},
        {"records in a plain texture", [&](TextureFileWriter& f) {
             f.writeHeader(false);
             f.writePalette();
             EXPECT_FALSE(f.writeRecords(sourceOf({{0, r0}, {1, r1}})));
         }},
        {"an index outside the palette", [&](TextureFileWriter& f) {
             w.picture.pixels[2] = 2;
             f.writeHeader(false);
             f.writePalette();
             EXPECT_FALSE(f.writePlainImage());
             w.picture.pixels[2] = 1;
         }},
        {"no palette", [&](TextureFileWriter& f) {
             f.writeHeader(false);
             EXPECT_FALSE(f.writePlainImage());
         }},
        {"no image", [&](TextureFileWriter& f) {
             f.writeHeader(false);
             f.writePalette();
         }},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        test::writeText(dir / "t.qm5", "old texture");
        TextureFileWriter file(w.pictures, w.palette, 1);
        ASSERT_TRUE(file.open((dir / "t.qm5").string().c_str())) << c.what;
        c.steps(file);
        EXPECT_FALSE(file.commit()) << c.what;
        EXPECT_EQ(test::readFile(dir / "t.qm5"), Bytes({'o', 'l', 'd', ' ', 't', 'e', 'x', 't', 'u', 'r', 'e'}))
            << c.what << ": the old file must stay";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << c.what;
    }
}

// Every field is checked against what its 16 bits hold for a reader that
// takes counts and sizes as signed, before anything is written.
TEST(TextureFileWriter, RefusesValuesItsHeaderCannotHold) {
    Picture wide, tall, empty, one;
    ASSERT_TRUE(wide.allocate(32768, 1) && tall.allocate(1, 32768) && empty.allocate(0, 3) && one.allocate(1, 1));
    const std::vector<const Picture*> many(65536, &one);
    const Picture* const wideOnly[] = {&wide};
    const Picture* const tallOnly[] = {&tall};
    const Picture* const emptyOnly[] = {&empty};
    const std::uint32_t palette[2] = {0, 1};
    const struct {
        std::span<const Picture* const> pictures;
        std::size_t colours;
        std::int32_t mipmaps;
        HeaderField want;
    } cases[] = {
        {{many.data(), 65535}, 2, 0, HeaderField::none},
        {{many.data(), 65536}, 2, 0, HeaderField::imageCount},
        {{many.data(), 0}, 2, 0, HeaderField::imageCount},
        {{many.data(), 1}, 32768, 0, HeaderField::colourCount},
        {{many.data(), 1}, 0, 0, HeaderField::colourCount},
        {wideOnly, 2, 0, HeaderField::width},
        {tallOnly, 2, 0, HeaderField::height},
        {emptyOnly, 2, 0, HeaderField::width},
        {{many.data(), 1}, 2, 65536, HeaderField::mipmapCount},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(checkHeaderRanges(c.pictures, c.colours, c.mipmaps).field, c.want)
            << c.pictures.size() << " pictures, " << c.colours << " colours, " << c.mipmaps << " levels";
    }
    test::TempDir dir;
    TextureFileWriter file({many.data(), 65536}, palette, 0);
    EXPECT_FALSE(file.open((dir / "t.qm5").c_str()));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "nothing is created";
}

}  // namespace
}  // namespace qm5
