#include "maker/colour_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "maker/palette.hpp"
#include "tests/captured_console.hpp"

namespace qm5 {
namespace {

using Colours = std::vector<std::uint32_t>;

Colours contents(const ColourTable& table) { return Colours(table.colours().begin(), table.colours().end()); }

Picture makePicture(std::int32_t width, std::int32_t height, const Colours& pixels) {
    Picture picture;
    EXPECT_TRUE(picture.allocate(width, height));
    std::copy(pixels.begin(), pixels.end(), picture.pixels.begin());
    return picture;
}

Colours pixelsOf(const Picture& picture) { return Colours(picture.pixels.begin(), picture.pixels.end()); }

TEST(ColourTable, InsertIntoSmallTables) {
    ColourTable table;
    EXPECT_EQ(table.insertPosition(5), -1);
    EXPECT_EQ(table.insert(50), 0);
    EXPECT_EQ(table.insertPosition(50), -1);
    EXPECT_EQ(table.insertPosition(51), 0);

    ColourTable larger;
    ASSERT_EQ(larger.insert(50), 0);
    EXPECT_EQ(larger.insert(60), 1);
    ColourTable smaller;
    ASSERT_EQ(smaller.insert(50), 0);
    EXPECT_EQ(smaller.insert(40), 0);
    EXPECT_EQ(contents(smaller), (Colours{40, 50}));
    ColourTable equal;
    ASSERT_EQ(equal.insert(50), 0);
    EXPECT_EQ(equal.insert(50), 0);
    EXPECT_EQ(contents(equal), (Colours{50}));
}

TEST(ColourTable, LookupsAndTheEdgesOfTheTable) {
    ColourTable table;
    EXPECT_EQ(table.colourAt(0), 0u);
    for (const std::uint32_t v : {0x00FF0000u, 0x000000FFu, 0x0000FF00u, 0x000000FFu, 0xFFFFFFFFu, 0u}) table.insert(v);
    EXPECT_EQ(contents(table), (Colours{0u, 0x000000FFu, 0x0000FF00u, 0x00FF0000u, 0xFFFFFFFFu}));
    EXPECT_EQ(table.indexOf(0x0000FF00u), 2);
    EXPECT_EQ(table.indexOf(0xFFFFFFFFu), 4);
    EXPECT_EQ(table.indexOf(0x12345678u), -1);
    EXPECT_EQ(table.colourAt(3), 0x00FF0000u);
    EXPECT_EQ(table.colourAt(5), 0u);  // beyond the last entry: black
    EXPECT_EQ(table.colourAt(-1), 0u);
    EXPECT_EQ(table.insertPosition(0xFFFFFFFFu), 3);

    EXPECT_FALSE(table.assign(Colours{3, 2}));
    EXPECT_FALSE(table.assign(Colours{2, 2}));
    EXPECT_EQ(table.count(), 5) << "a refused assign leaves the table alone";
    EXPECT_TRUE(table.assign(Colours{1, 7}));
    EXPECT_EQ(contents(table), (Colours{1, 7}));
}

// The jump search must name the last entry below v for every table size and
// every kind of value: below all, above all, present, in a gap.
TEST(ColourTable, JumpSearchAgreesWithBinarySearch) {
    std::mt19937 random(5);
    for (int size = 1; size <= 70; ++size) {
        std::set<std::uint32_t> values;
        while (values.size() < static_cast<std::size_t>(size)) values.insert(random() % 1000 + 10);
        ColourTable table;
        ASSERT_TRUE(table.assign(Colours(values.begin(), values.end())));
        for (std::uint32_t v = 0; v < 1020; ++v) {
            const auto want = static_cast<std::int32_t>(std::distance(values.begin(), values.lower_bound(v))) - 1;
            ASSERT_EQ(table.insertPosition(v), want) << "size " << size << ", value " << v;
        }
    }
}

TEST(ColourTable, RandomInsertsKeepTheTableSortedAndUnique) {
    std::mt19937 random(9);
    ColourTable table;
    std::set<std::uint32_t> model;
    for (int i = 0; i < 3000; ++i) {
        const std::uint32_t v = i % 3 == 0 ? random() : random() % 500;
        model.insert(v);
        const std::int32_t at = table.insert(v);
        ASSERT_GE(at, 0);
        ASSERT_EQ(table.colourAt(at), v);
        ASSERT_EQ(table.indexOf(v), at);
    }
    EXPECT_EQ(contents(table), Colours(model.begin(), model.end()));
}

// ---- The palette stage ----

TEST(Palette, IndicesFollowTheSortedTable) {
    test::CapturedConsole out;
    ColourTable table;
    Picture pictures[1] = {makePicture(4, 1, {0x00FF0000u, 0x000000FFu, 0x0000FF00u, 0x000000FFu})};
    ASSERT_EQ(buildPalette(out.console(), pictures, table), PaletteResult::done);
    EXPECT_EQ(contents(table), (Colours{0x000000FFu, 0x0000FF00u, 0x00FF0000u}));
    EXPECT_EQ(pixelsOf(pictures[0]), (Colours{2, 0, 1, 0}));
    EXPECT_EQ(out.text(),
              "Creating palette (  0 cols found,   0 % done)"
              "\rCreating palette (  3 cols found, 100 % done)\n");
}

TEST(Palette, EveryPictureIsIndexedAgainstTheFinishedTable) {
    test::CapturedConsole out;
    ColourTable table;
    Picture pictures[2] = {makePicture(2, 1, {0x500u, 0x700u}), makePicture(2, 1, {0x100u, 0x700u})};
    ASSERT_EQ(buildPalette(out.console(), pictures, table), PaletteResult::done);
    EXPECT_EQ(contents(table), (Colours{0x100u, 0x500u, 0x700u}));
    EXPECT_EQ(pixelsOf(pictures[0]), (Colours{1, 2}));
    EXPECT_EQ(pixelsOf(pictures[1]), (Colours{0, 2}));

    Picture single[1] = {makePicture(3, 3, Colours(9, 0x123456u))};
    ColourTable one;
    ASSERT_EQ(buildPalette(out.console(), single, one), PaletteResult::done);
    EXPECT_EQ(contents(one), (Colours{0x123456u}));
    EXPECT_EQ(pixelsOf(single[0]), Colours(9, 0));
}

TEST(Palette, ProgressOfA64x64Picture) {
    // Row r holds colour r, so r + 1 colours are found by the end of row r.
    Colours pixels(64 * 64);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint32_t>(i / 64) * 0x010101u;
    Picture pictures[1] = {makePicture(64, 64, pixels)};
    test::CapturedConsole out;
    ColourTable table;
    ASSERT_EQ(buildPalette(out.console(), pictures, table), PaletteResult::done);
    const std::string text = out.text();

    const std::string start =
        "Creating palette (  0 cols found,   0 % done)"
        "\rCreating palette (  1 cols found,   0 % done)"   // pixel 16
        "\rCreating palette (  1 cols found,   0 % done)"   // 48
        "\rCreating palette (  2 cols found,   0 % done)"   // 80
        "\rCreating palette (  2 cols found,   1 % done)";  // 112
    EXPECT_EQ(text.substr(0, start.size()), start) << "got " << test::visible(text.substr(0, start.size()));
    const std::string middle =
        "\rCreating palette ( 64 cols found,  49 % done)"   // gathering, pixel 4080
        "\rCreating palette ( 64 cols found,  50 % done)";  // indexing, pixel 16
    EXPECT_NE(text.find(middle), std::string::npos);
    const std::string end =
        "\rCreating palette ( 64 cols found,  99 % done)"   // indexing, pixel 4080
        "\rCreating palette ( 64 cols found, 100 % done)\n";
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end) << "got " << test::visible(text.substr(text.size() - end.size()));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 2 * 128 + 1) << "one line per 32 pixels per sweep";
}

// The stage as the table operations define it: insert pixel by pixel, then
// look every pixel up by a scan.
struct LiteralResult {
    std::string console;
    Colours table;
    std::vector<Colours> pixels;
};

LiteralResult literalPalette(std::vector<Colours> pictures) {
    LiteralResult r;
    char line[96];
    const auto print = [&](int count, std::uint64_t done, std::uint64_t total) {
        std::snprintf(line, sizeof line, "\rCreating palette (%3d cols found, %3d %% done)", count,
                      static_cast<int>((done / 2) * 100 / total));
        r.console += line;
    };
    r.console = "Creating palette (  0 cols found,   0 % done)";
    ColourTable table;
    const std::uint64_t n = pictures.size();
    const std::uint64_t size = pictures[0].size();
    for (std::uint64_t p = 0; p < n; ++p) {
        for (std::uint64_t i = 0; i < size; ++i) {
            EXPECT_GE(table.insert(pictures[p][i]), 0);
            if (i % 32 == 16) print(table.count(), p * size + i, n * size);
        }
    }
    for (std::uint64_t p = 0; p < n; ++p) {
        for (std::uint64_t i = 0; i < size; ++i) {
            std::int32_t k = -1;
            for (std::int32_t e = 0; e < table.count() && k < 0; ++e) {
                if (table.colourAt(e) == pictures[p][i]) k = e;
            }
            pictures[p][i] = static_cast<std::uint32_t>(k);
            if (i % 32 == 16) print(table.count(), n * size + p * size + i, n * size);
        }
    }
    std::snprintf(line, sizeof line, "\rCreating palette (%3d cols found, %3d %% done)\n", table.count(), 100);
    r.console += line;
    r.table = contents(table);
    r.pixels = std::move(pictures);
    return r;
}

TEST(Palette, MatchesTheLiteralStageOnRandomPictures) {
    std::mt19937 random(17);
    for (int round = 0; round < 12; ++round) {
        const std::int32_t width = 1 + static_cast<std::int32_t>(random() % 70);
        const std::int32_t height = 1 + static_cast<std::int32_t>(random() % 40);
        const std::size_t count = 1 + random() % 3;
        // Pools from one colour to more colours than pixels; 0xFFFFFFFF and 0
        // are in some of them.
        Colours pool(1 + random() % 2000);
        for (auto& c : pool) c = round % 3 == 0 ? random() : random() & 0xFFFFFF;
        if (round % 4 == 1) pool[0] = 0xFFFFFFFFu;
        std::vector<Colours> inputs(count, Colours(static_cast<std::size_t>(width * height)));
        for (auto& picture : inputs) {
            for (std::size_t i = 0; i < picture.size(); ++i) {
                // Runs of a repeated colour, as in real pictures.
                picture[i] = i > 0 && random() % 3 == 0 ? picture[i - 1] : pool[random() % pool.size()];
            }
        }
        const LiteralResult want = literalPalette(inputs);

        std::vector<Picture> pictures;
        for (const auto& pixels : inputs) pictures.push_back(makePicture(width, height, pixels));
        test::CapturedConsole out;
        ColourTable table;
        ASSERT_EQ(buildPalette(out.console(), pictures, table, INT32_MAX), PaletteResult::done);
        ASSERT_EQ(out.text(), want.console) << "round " << round;
        ASSERT_EQ(contents(table), want.table) << "round " << round;
        for (std::size_t p = 0; p < count; ++p) ASSERT_EQ(pixelsOf(pictures[p]), want.pixels[p]) << "round " << round;
    }
}

TEST(Palette, StopsAsSoonAsTheColoursPassTheLimit) {
    // Row r holds colour r: the third colour arrives at pixel 128.
    Colours pixels(64 * 64);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint32_t>(i / 64);
    Picture pictures[1] = {makePicture(64, 64, pixels)};
    test::CapturedConsole out;
    ColourTable table;
    EXPECT_EQ(buildPalette(out.console(), pictures, table, 2), PaletteResult::tooManyColours);
    const std::string text = out.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 4) << "got " << test::visible(text);
    EXPECT_EQ(text.back(), '\n') << "the open progress line is ended";
    EXPECT_EQ(table.count(), 0);
    EXPECT_EQ(pictures[0].pixels[200], 3u) << "pixels untouched";

    ColourTable enough;
    EXPECT_EQ(buildPalette(out.console(), pictures, enough, 64), PaletteResult::done);
    EXPECT_EQ(enough.count(), 64);
}

}  // namespace
}  // namespace qm5
