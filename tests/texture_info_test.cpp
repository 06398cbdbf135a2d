// The inspection behind `qm5 info`, on hand-made files.
#include <gtest/gtest.h>

#include "texture/texture_info.hpp"
#include "tests/texture_builder.hpp"

namespace qm5 {
namespace {

using test::Bytes;

// Each case lists every problem the inspection must report, in order.
TEST(TextureInspection, ReportsEveryProblem) {
    const auto texture = [](std::uint16_t k, std::uint16_t compression, std::uint16_t w, std::uint16_t h,
                            const char* rest, int paletteEntries = -1) {
        test::TextureBytes t(k, compression, w, h);
        for (int i = 0; i < (paletteEntries < 0 ? k : paletteEntries); ++i) t.u32(static_cast<std::uint32_t>(i));
        return t.hex(rest).bytes;
    };
    const struct {
        const char* what;
        Bytes file;
        std::vector<std::string> problems;
    } cases[] = {
        {"two zero cubes (b = 4, no fill possible)", texture(2, 1, 4, 4, "00 02 04 00 00 80 00 00"),
         {"cube 0 of record 0 of image 0 has both masks zero (2 such cubes in the record)"}},
        {"a set bit after the last cube (b = 3: one 6-bit cube)", texture(2, 1, 2, 4, "00 01 03 84 80 00 00"),
         {"record 0 of image 0 has bits set after its last cube"}},
        {"fill cubes of b = 2 are not content", texture(2, 1, 2, 2, "00 01 02 03 80 00 00"), {}},
        {"a general record in a one-pixel picture", texture(1, 1, 1, 1, "00 01 00 FF"),
         {"record 0 of image 0 is a general record with b = 0 (a one-pixel picture has only empty and whole records)"}},
        {"negative width", texture(1, 0, 0xFFFF, 1, ""), {"the width -1 is negative"}},
        {"short palette", texture(3, 0, 1, 1, "", 2), {"the palette of 3 colours runs past the end of the file"}},
        {"2-byte indices are signed", texture(257, 0, 1, 1, "FF FF"),
         {"pixel (0, 0) of image 0 has index -1, want below 257"}},
        {"short plain image", texture(2, 0, 3, 1, "00 01"),
         {"image 0 runs past the end of the file (2 of 3 bytes present)"}},
    };
    for (const auto& c : cases) {
        TextureInfo info;
        ASSERT_TRUE(inspectTexture(std::span<const std::uint8_t>(c.file.data(), c.file.size()), info)) << c.what;
        std::vector<std::string> got;
        char text[256];
        for (const TextureProblem& p : info.kept()) got.push_back(describeProblem(info.header(), p, text, sizeof text));
        EXPECT_EQ(got, c.problems) << c.what;
        EXPECT_EQ(info.problemCount, c.problems.size()) << c.what;
    }
}

TEST(TextureInspection, SummarisesRecordsAndKeepsCounting) {
    // b = 2, K = 3: an empty head, a general record of two cubes, a whole head.
    test::TextureBytes t(3, 1, 2, 2, 2);
    t.u32(1).u32(2).u32(3);
    for (int image = 0; image < 2; ++image) t.hex("00 00 00 00 01 02 C3 80 00 00");
    TextureInfo info;
    ASSERT_TRUE(inspectTexture(std::span<const std::uint8_t>(t.bytes.data(), t.bytes.size()), info));
    EXPECT_TRUE(info.valid());
    ASSERT_EQ(info.imagesReached, 2u);
    const ImageSummary& second = info.images[1];
    EXPECT_EQ(second.offset, 20u + 12 + 10);
    EXPECT_EQ(second.bytes, 10u);
    EXPECT_EQ(second.emptyRecords, 1u);
    EXPECT_EQ(second.generalRecords, 1u);
    EXPECT_EQ(second.wholeRecords, 1u);
    EXPECT_EQ(second.cubes, 2u);

    // More problems than are kept are still counted.
    test::TextureBytes many(1, 0, 1, 1, 300);
    many.u32(7);
    for (int image = 0; image < 300; ++image) many.u8(1);
    ASSERT_TRUE(inspectTexture(std::span<const std::uint8_t>(many.bytes.data(), many.bytes.size()), info));
    EXPECT_EQ(info.problemCount, 300u);
    EXPECT_EQ(info.keptProblems, kMaxKeptProblems);
}

}  // namespace
}  // namespace qm5
