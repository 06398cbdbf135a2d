#include "maker/mipmaps.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/captured_console.hpp"

namespace qm5 {
namespace {

using Colours = std::vector<std::uint32_t>;

constexpr std::uint32_t rgb(std::uint32_t a, std::uint32_t b, std::uint32_t c) { return (a << 16) | (b << 8) | c; }

void fill(ColourTable& table, const Colours& ascending) { ASSERT_TRUE(table.assign(ascending)); }

Picture indexPicture(std::int32_t width, std::int32_t height, const Colours& indices) {
    Picture picture;
    EXPECT_TRUE(picture.allocate(width, height));
    for (std::size_t i = 0; i < indices.size(); ++i) picture.pixels[i] = indices[i];
    return picture;
}

TEST(Mipmaps, LevelCounts) {
    struct Case {
        std::int32_t width, height, levels;
        bool powerOfTwo;
    };
    for (const Case c : {Case{256, 256, 8, true}, Case{256, 64, 6, true}, Case{1, 1, 0, true}, Case{256, 1, 0, true},
                         Case{100, 100, 0, false}, Case{64, 48, 0, false}, Case{0, 4, 0, false},
                         Case{INT32_MIN, 1, 0, false}}) {
        EXPECT_EQ(isPowerOfTwoSize(c.width, c.height), c.powerOfTwo) << c.width << " x " << c.height;
        EXPECT_EQ(mipmapLevelCount(c.width, c.height), c.levels) << c.width << " x " << c.height;
    }
}

TEST(NearestColour, TiesFollowTheSinglePrecisionRule) {
    struct Case {
        Colours table;
        std::uint32_t a, b, c;
        std::int32_t want;
        const char* why;
    };
    const Case cases[] = {
        {{rgb(10, 0, 0), rgb(12, 0, 0)}, 11, 0, 0, 0, "distance 1 is exact: the first stays"},
        {{rgb(0, 2, 0), rgb(2, 2, 0)}, 1, 0, 0, 1, "float sqrt(5) lies above the root: the last wins"},
        {{rgb(0, 0, 0), rgb(2, 2, 0)}, 1, 1, 0, 0, "squared distance 2: the first stays"},
        {{rgb(0, 0, 0), rgb(2, 2, 2)}, 1, 1, 1, 0, "squared distance 3: the first stays"},
        {{rgb(0, 0, 0), rgb(4, 4, 0)}, 2, 2, 0, 0, "squared distance 8: the first stays"},
        {{rgb(0, 0, 0), rgb(255, 0, 0)}, 127, 0, 0, 0, "127 against 128"},
        {{rgb(0, 0, 0), rgb(255, 0, 0)}, 191, 0, 0, 1, "191 is nearer 255"},
        {{}, 5, 5, 5, 0, "an empty table gives 0"},
    };
    for (const Case& c : cases) {
        ColourTable table;
        fill(table, c.table);
        EXPECT_EQ(nearestColour(c.a, c.b, c.c, table), c.want) << c.why;
        NearestColourFinder finder(table);
        EXPECT_EQ(finder.find(c.a, c.b, c.c), c.want) << c.why;
    }
}

TEST(NearestColour, FinderAgreesWithTheScanOnRandomPalettes) {
    std::mt19937 random(23);
    int laterTies = 0;
    // Sizes across every grid resolution; coarse channel steps make many
    // entries lie at exactly the same distance.
    for (const int size : {20, 33, 100, 513, 2000, 8193, 20000}) {
        for (const std::uint32_t step : {1u, 3u, 16u}) {
            std::set<std::uint32_t> colours;
            const std::uint32_t levels = 256 / step;
            const std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(size), levels * levels * levels);
            while (colours.size() < want) {
                colours.insert(rgb(random() % levels * step, random() % levels * step, random() % levels * step));
            }
            ColourTable table;
            fill(table, Colours(colours.begin(), colours.end()));
            NearestColourFinder finder(table);
            for (int q = 0; q < 300; ++q) {
                const std::uint32_t a = random() % 256, b = random() % 256, c = random() % 256;
                const std::int32_t expected = nearestColour(a, b, c, table);
                ASSERT_EQ(finder.find(a, b, c), expected)
                    << "size " << size << ", step " << step << ", query " << a << "," << b << "," << c;
                ASSERT_EQ(finder.find(a, b, c), expected) << "remembered answer";
                // Count answers that are a later entry at the same distance.
                const std::uint32_t t = table.colourAt(expected);
                const auto d = [&](std::uint32_t colour) {
                    const int da = static_cast<int>((colour >> 16) & 255) - static_cast<int>(a);
                    const int db = static_cast<int>((colour >> 8) & 255) - static_cast<int>(b);
                    const int dc = static_cast<int>(colour & 255) - static_cast<int>(c);
                    return da * da + db * db + dc * dc;
                };
                for (std::int32_t e = 0; e < expected; ++e) {
                    if (d(table.colourAt(e)) == d(t)) {
                        ++laterTies;
                        break;
                    }
                }
            }
        }
    }
    EXPECT_GT(laterTies, 20) << "the palettes should exercise ties won by a later entry";
}

TEST(Mipmaps, HalvingAveragesEachBlock) {
    ColourTable table;
    fill(table, {rgb(0, 0, 0), rgb(255, 0, 0)});
    // Three blocks of a 6 x 2 picture: one, two and three red pixels of four.
    const Picture source = indexPicture(6, 2, {1, 0, 1, 1, 1, 1,  //
                                               0, 0, 0, 0, 1, 0});
    Picture half;
    ASSERT_TRUE(halvePicture(source, table, half));
    ASSERT_EQ(half.width, 3);
    ASSERT_EQ(half.height, 1);
    EXPECT_EQ(half.at(0, 0), 0u) << "(63, 0, 0) is nearest black";
    EXPECT_EQ(half.at(1, 0), 0u) << "(127, 0, 0) is nearest black";
    EXPECT_EQ(half.at(2, 0), 1u) << "(191, 0, 0) is nearest red";

    // Blocks are taken by column and row: a 4 x 4 picture of four uniform
    // blocks keeps their places.
    ColourTable greys;
    fill(greys, {rgb(10, 10, 10), rgb(20, 20, 20), rgb(30, 30, 30), rgb(40, 40, 40)});
    const Picture blocks = indexPicture(4, 4, {0, 0, 1, 1,  //
                                               0, 0, 1, 1,  //
                                               2, 2, 3, 3,  //
                                               2, 2, 3, 3});
    ASSERT_TRUE(halvePicture(blocks, greys, half));
    EXPECT_EQ(Colours(half.pixels.begin(), half.pixels.end()), (Colours{0, 1, 2, 3}));

    // Channels are averaged separately and rounded down.
    ColourTable mixed;
    fill(mixed, {rgb(0, 0, 0), rgb(1, 2, 3), rgb(3, 2, 1), rgb(4, 8, 12)});
    const Picture uneven = indexPicture(2, 2, {0, 3, 3, 3});  // averages (3, 6, 9)
    ASSERT_TRUE(halvePicture(uneven, mixed, half));
    EXPECT_EQ(half.at(0, 0), 3u);
}

std::string stageOutput(const std::vector<Picture>& pictures, const ColourTable& table, MipmapLevels& out) {
    test::CapturedConsole console;
    EXPECT_TRUE(buildMipmaps(console.console(), pictures, table, out));
    return console.text();
}

TEST(Mipmaps, ProgressAndLevelsOfOnePicture) {
    ColourTable table;
    fill(table, {rgb(0, 0, 0), rgb(100, 50, 25), rgb(200, 100, 50)});
    std::vector<Picture> pictures;
    Colours indices(256 * 256);
    for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = (i / 256 + i) % 2 * 2;  // a checkerboard of 0 and 2
    pictures.push_back(indexPicture(256, 256, indices));
    MipmapLevels set;
    const std::string text = stageOutput(pictures, table, set);
    EXPECT_EQ(text,
              " 8 MipMaps to do .."
              "\rCreating MipMaps [ 0 /  8 :   0 %]\rCreating MipMaps [ 1 /  8 :  12 %]"
              "\rCreating MipMaps [ 2 /  8 :  25 %]\rCreating MipMaps [ 3 /  8 :  37 %]"
              "\rCreating MipMaps [ 4 /  8 :  50 %]\rCreating MipMaps [ 5 /  8 :  62 %]"
              "\rCreating MipMaps [ 6 /  8 :  75 %]\rCreating MipMaps [ 7 /  8 :  87 %]"
              "\rCreating MipMaps [ 8 /  8 : 100 %]\n")
        << "got " << test::visible(text);
    ASSERT_EQ(set.levelCount, 8);
    for (std::int32_t k = 1; k <= 8; ++k) {
        EXPECT_EQ(set.level(0, k).width, 256 >> k);
        EXPECT_EQ(set.level(0, k).height, 256 >> k);
    }
    // Every block averages to (100, 50, 25), and so do all later levels.
    EXPECT_EQ(set.level(0, 1).at(5, 7), 1u);
    EXPECT_EQ(set.level(0, 8).at(0, 0), 1u);

    pictures.clear();
    pictures.push_back(indexPicture(256, 64, Colours(256 * 64, 0)));
    stageOutput(pictures, table, set);
    ASSERT_EQ(set.levelCount, 6);
    for (std::int32_t k = 1; k <= 6; ++k) {
        EXPECT_EQ(set.level(0, k).width, 256 >> k);
        EXPECT_EQ(set.level(0, k).height, 64 >> k);
    }
}

TEST(Mipmaps, ProgressOfTwoPictures) {
    ColourTable table;
    fill(table, {rgb(1, 2, 3)});
    std::vector<Picture> pictures;
    pictures.push_back(indexPicture(64, 64, Colours(64 * 64, 0)));
    pictures.push_back(indexPicture(64, 64, Colours(64 * 64, 0)));
    MipmapLevels set;
    const std::string text = stageOutput(pictures, table, set);
    EXPECT_EQ(text,
              " 6 MipMaps to do .."
              "\rCreating MipMaps [ 0 /  6 :   0 %]\rCreating MipMaps [ 1 /  6 :   8 %]"
              "\rCreating MipMaps [ 2 /  6 :  16 %]\rCreating MipMaps [ 3 /  6 :  25 %]"
              "\rCreating MipMaps [ 4 /  6 :  33 %]\rCreating MipMaps [ 5 /  6 :  41 %]"
              "\rCreating MipMaps [ 0 /  6 :  50 %]\rCreating MipMaps [ 1 /  6 :  58 %]"
              "\rCreating MipMaps [ 2 /  6 :  66 %]\rCreating MipMaps [ 3 /  6 :  75 %]"
              "\rCreating MipMaps [ 4 /  6 :  83 %]\rCreating MipMaps [ 5 /  6 :  91 %]"
              "\rCreating MipMaps [ 6 /  6 : 100 %]\n")
        << "got " << test::visible(text);
    ASSERT_EQ(set.pictureCount, 2u);
    EXPECT_EQ(set.level(1, 6).width, 1);
}

TEST(Mipmaps, SizesWithoutLevels) {
    ColourTable table;
    fill(table, {rgb(1, 2, 3)});
    for (const auto& [width, height] : {std::pair{1, 1}, std::pair{256, 1}}) {
        std::vector<Picture> pictures;
        pictures.push_back(indexPicture(width, height, Colours(static_cast<std::size_t>(width * height), 0)));
        MipmapLevels set;
        EXPECT_EQ(stageOutput(pictures, table, set), " 0 MipMaps to do ..\rCreating MipMaps [ 0 /  0 : 100 %]\n");
        EXPECT_EQ(set.levelCount, 0);
    }
    std::vector<Picture> pictures;
    pictures.push_back(indexPicture(100, 100, Colours(100 * 100, 0)));
    MipmapLevels set;
    EXPECT_EQ(stageOutput(pictures, table, set),
              " ERROR : Bitmaps must be power-of-two size !\n"
              " ERROR : Skipping mipmaps !\n"
              "\rCreating MipMaps [ 0 /  0 : 100 %]\n");
    EXPECT_EQ(set.levelCount, 0);
}

TEST(Mipmaps, LevelsMatchTheLiteralHalvingOnARandomPicture) {
    std::mt19937 random(31);
    std::set<std::uint32_t> colours;
    while (colours.size() < 300) colours.insert(random() & 0xF0F0F0);  // coarse: many ties
    ColourTable table;
    fill(table, Colours(colours.begin(), colours.end()));
    Colours indices(32 * 16);
    for (auto& i : indices) i = random() % 300;
    std::vector<Picture> pictures;
    pictures.push_back(indexPicture(32, 16, indices));
    MipmapLevels set;
    stageOutput(pictures, table, set);
    ASSERT_EQ(set.levelCount, 4);

    const Picture* source = &pictures[0];
    for (std::int32_t k = 1; k <= 4; ++k) {
        const Picture& level = set.level(0, k);
        for (std::int32_t y = 0; y < level.height; ++y) {
            for (std::int32_t x = 0; x < level.width; ++x) {
                std::uint32_t sum[3] = {};
                for (const auto& [dx, dy] : {std::pair{0, 0}, std::pair{1, 0}, std::pair{0, 1}, std::pair{1, 1}}) {
                    const std::uint32_t colour = table.colourAt(static_cast<std::int32_t>(source->at(2 * x + dx, 2 * y + dy)));
                    for (int ch = 0; ch < 3; ++ch) sum[ch] += (colour >> (16 - 8 * ch)) & 255;
                }
                const auto want = static_cast<std::uint32_t>(nearestColour(sum[0] / 4, sum[1] / 4, sum[2] / 4, table));
                ASSERT_EQ(level.at(x, y), want) << "level " << k << " at " << x << "," << y;
            }
        }
        source = &level;
    }
}

}  // namespace
}  // namespace qm5
