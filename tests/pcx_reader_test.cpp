#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "picture/picture_loader.hpp"
#include "tests/picture_fixtures.hpp"
#include "tests/test_support.hpp"

namespace qm5 {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

// A PCX file put together field by field.
struct PcxFields {
    std::uint16_t xMin = 0, yMin = 0, xMax = 0, yMax = 0;
    std::uint8_t version = 5;
    std::uint8_t encoding = 1;
    std::uint8_t bits = 8;
    std::uint8_t planes = 1;
    std::uint16_t bytesPerLine = 2;
    Bytes data;
    bool paletteBlock = true;
    std::uint8_t marker = 0x0C;
};

// Palette triple k = (k, 255 - k, k ^ 0x5A).
std::uint32_t colourOf(std::uint32_t k) { return k | ((255 - k) << 8) | ((k ^ 0x5A) << 16); }

Bytes build(const PcxFields& s) {
    Bytes b(128, 0);
    b[0] = 0x0A;
    b[1] = s.version;
    b[2] = s.encoding;
    b[3] = s.bits;
    test::put16(b, 4, s.xMin);
    test::put16(b, 6, s.yMin);
    test::put16(b, 8, s.xMax);
    test::put16(b, 10, s.yMax);
    b[65] = s.planes;
    test::put16(b, 66, s.bytesPerLine);
    for (std::uint8_t v : s.data) b.push_back(v);  // (insert trips a false -Warray-bounds in g++ 12)
    if (s.paletteBlock) {
        b.push_back(s.marker);
        for (std::uint32_t k = 0; k < 256; ++k) {
            b.push_back(static_cast<std::uint8_t>(k));
            b.push_back(static_cast<std::uint8_t>(255 - k));
            b.push_back(static_cast<std::uint8_t>(k ^ 0x5A));
        }
    }
    return b;
}

// Loads with the scan-line messages captured.
struct Load {
    PictureError error;
    std::string messages;
};
Load load(PictureLoader& loader, std::FILE* messages, const Bytes& file, Picture& out) {
    std::rewind(messages);
    const long start = std::ftell(messages);
    Load r{loader.loadPcx(std::span<const std::uint8_t>(file), out), ""};
    std::fflush(messages);
    const long end = std::ftell(messages);
    std::fseek(messages, start, SEEK_SET);
    r.messages.resize(static_cast<std::size_t>(end - start));
    if (!r.messages.empty()) {
        EXPECT_EQ(std::fread(r.messages.data(), 1, r.messages.size(), messages), r.messages.size());
    }
    std::rewind(messages);
    return r;
}

struct Captured {
    std::FILE* file = std::tmpfile();
    PictureLoader loader{file};
    ~Captured() { std::fclose(file); }
    Load operator()(const Bytes& pcx, Picture& out) { return load(loader, file, pcx, out); }
};

std::string indicesOf(const Picture& p) {
    std::ostringstream s;
    for (std::size_t i = 0; i < p.pixels.size(); ++i) {
        // Undo the palette: k is the low byte of colourOf(k).
        s << (i ? " " : "") << std::hex << (p.pixels[i] & 0xFF);
        if (p.pixels[i] != colourOf(p.pixels[i] & 0xFF)) s << "?";
    }
    return s.str();
}

std::string hexList(const std::vector<int>& v) {
    std::ostringstream s;
    for (std::size_t i = 0; i < v.size(); ++i) s << (i ? " " : "") << std::hex << v[i];
    return s.str();
}

// ---- Decoding ----

TEST(PcxReader, RunsLiteralsAndRunsCarriedAcrossLines) {
    struct Case {
        const char* what;
        std::uint16_t width, height, lineLength;
        Bytes data;
        std::vector<int> want;  // indices, top line first
    };
    const Case cases[] = {
        {"C4 AA fills a line of 4, the next code starts line 2", 4, 2, 4, {0xC4, 0xAA, 0xC4, 0xBB},
         {0xAA, 0xAA, 0xAA, 0xAA, 0xBB, 0xBB, 0xBB, 0xBB}},
        {"C6 AA over a line of 4 carries two bytes into line 2", 4, 2, 4, {0xC6, 0xAA, 0xC2, 0xBB},
         {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xBB, 0xBB}},
        {"41 alone, C1 C5 for one C5, C0 17 for nothing", 3, 1, 4, {0x41, 0xC1, 0xC5, 0xC0, 0x17, 0x42, 0x07},
         {0x41, 0xC5, 0x42}},
        {"pad bytes past the width are dropped", 3, 2, 4, {1, 2, 3, 0x3E, 4, 5, 6, 0x3E}, {1, 2, 3, 4, 5, 6}},
        {"a run spanning three lines", 2, 3, 2, {0xC6, 9}, {9, 9, 9, 9, 9, 9}},
    };
    for (const Case& c : cases) {
        PcxFields s;
        s.xMax = static_cast<std::uint16_t>(c.width - 1);
        s.yMax = static_cast<std::uint16_t>(c.height - 1);
        s.bytesPerLine = c.lineLength;
        s.data = c.data;
        Captured load;
        Picture p;
        const Load r = load(build(s), p);
        ASSERT_EQ(r.error, PictureError::none) << c.what;
        EXPECT_EQ(r.messages, "") << c.what;
        EXPECT_EQ(indicesOf(p), hexList(c.want)) << c.what << ": data " << test::hex(c.data);
    }
}

// Encoding byte 0: lines stored as they are, bytes of 0xC0 and above included.
TEST(PcxReader, EncodingZeroLinesAreStoredBytes) {
    PcxFields s;
    s.encoding = 0;
    s.xMax = 2;
    s.yMax = 1;
    s.bytesPerLine = 4;
    s.data = {0xC5, 0x41, 0xC0, 0x00, 0x07, 0xFF, 0x08, 0x00};
    Captured load;
    Picture p;
    const Load r = load(build(s), p);
    ASSERT_EQ(r.error, PictureError::none);
    EXPECT_EQ(r.messages, "");
    EXPECT_EQ(indicesOf(p), "c5 41 c0 7 ff 8");
}

// Three planes of 8 bits, one line of each per row (qm5 only): colours
// packed red low, no palette needed.
TEST(PcxReader, TwentyFourBitLinesHoldRedGreenBluePlanes) {
    PcxFields s;
    s.planes = 3;
    s.paletteBlock = false;
    s.xMax = 1;
    s.yMax = 1;
    s.bytesPerLine = 2;
    s.data = {0x10, 0x11, 0x20, 0x21, 0x30, 0x31, 0xC6, 0x05};  // row 1: six 05 bytes
    PictureLoader loader(nullptr);
    Picture p;
    ASSERT_EQ(loader.loadPcx24(std::span<const std::uint8_t>(build(s)), p), PictureError::none);
    ASSERT_EQ(p.pixels.size(), 4u);
    EXPECT_EQ(p.pixels[0], 0x302010u);
    EXPECT_EQ(p.pixels[1], 0x312111u);
    EXPECT_EQ(p.pixels[3], 0x050505u);
    s.planes = 1;
    EXPECT_EQ(loader.loadPcx24(std::span<const std::uint8_t>(build(s)), p), PictureError::unsupported);
}

TEST(PcxReader, SidesComeFromTheHeaderAndPaletteTriplesPackRedLow) {
    // x 10..14, y 3..4: 5 x 2; 320 x 200 from 0..319, 0..199.
    PcxFields s;
    s.xMin = 10;
    s.yMin = 3;
    s.xMax = 14;
    s.yMax = 4;
    s.bytesPerLine = 6;
    s.data = {0xCC, 7, 0xC1, 0xC8};
    Picture p;
    PictureLoader quiet(nullptr);
    ASSERT_EQ(quiet.loadPcx(std::span<const std::uint8_t>(build(s)), p), PictureError::none);
    EXPECT_EQ(p.width, 5);
    EXPECT_EQ(p.height, 2);
    EXPECT_EQ(p.pixels[0], 0x5DF807u) << "triple 07 F8 5D";

    Bytes data;
    for (int line = 0; line < 200; ++line) {
        for (int k = 0; k < 5; ++k) data.insert(data.end(), {0xFF, static_cast<std::uint8_t>(line)});  // 5 x 63
        data.insert(data.end(), {0xC5, 1});                                                             // + 5
    }
    PcxFields big;
    big.xMax = 319;
    big.yMax = 199;
    big.bytesPerLine = 320;
    big.data = data;
    ASSERT_EQ(quiet.loadPcx(std::span<const std::uint8_t>(build(big)), p), PictureError::none);
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 200);
    EXPECT_EQ(p.at(0, 199), colourOf(199));
    EXPECT_EQ(p.at(319, 199), colourOf(1));
    // Width 319 with 320-byte lines: each line's last byte is dropped.
    big.xMax = 318;
    ASSERT_EQ(quiet.loadPcx(std::span<const std::uint8_t>(build(big)), p), PictureError::none);
    EXPECT_EQ(p.width, 319);
    EXPECT_EQ(p.at(318, 7), colourOf(1));
    EXPECT_EQ(p.at(0, 8), colourOf(8));
}

TEST(PcxReader, PendingRunIsResetForEachFile) {
    // A leaves two bytes of a run pending after its only line.
    PcxFields s;
    s.xMax = 3;
    s.bytesPerLine = 4;
    s.data = {0xC6, 0xAA};
    const Bytes a = build(s);
    s.data = {0x41, 0x42, 0x43, 0x44};
    const Bytes b = build(s);
    PictureLoader loader(nullptr);
    Picture alone, pa, pb;
    ASSERT_EQ(loader.loadPcx(std::span<const std::uint8_t>(b), alone), PictureError::none);
    ASSERT_EQ(loader.loadPcx(std::span<const std::uint8_t>(a), pa), PictureError::none);
    ASSERT_EQ(loader.loadPcx(std::span<const std::uint8_t>(b), pb), PictureError::none);
    EXPECT_EQ(indicesOf(pb), indicesOf(alone));
    EXPECT_EQ(indicesOf(pb), "41 42 43 44");
}

TEST(PcxReader, DataEndingEarlyPrintsPerLineAndLeavesZeros) {
    // 4 x 3, lines of 4: the data give 6 bytes. The line data stop where the
    // palette block begins, so its marker is not taken as a pixel.
    PcxFields s;
    s.xMax = 3;
    s.yMax = 2;
    s.bytesPerLine = 4;
    s.data = {0xC6, 0xAA};
    Captured load;
    Picture p;
    Load r = load(build(s), p);
    ASSERT_EQ(r.error, PictureError::none);
    EXPECT_EQ(r.messages,
              "PCXCODE: Bad scan line length (was 2 should be 4)\n"
              "PCXCODE: Bad scan line length (was 0 should be 4)\n");
    EXPECT_EQ(indicesOf(p), "aa aa aa aa aa aa 0 0 0 0 0 0");

    // The messages come before the version and palette are judged.
    s.version = 3;
    r = load(build(s), p);
    EXPECT_EQ(r.error, PictureError::unsupported);
    EXPECT_NE(r.messages, "");
    s.version = 5;
    s.paletteBlock = false;
    r = load(build(s), p);
    EXPECT_NE(r.error, PictureError::none);
    EXPECT_NE(r.messages, "");
    EXPECT_TRUE(p.pixels.empty());

    PictureLoader quiet(nullptr);
    s.paletteBlock = true;
    EXPECT_EQ(quiet.loadPcx(std::span<const std::uint8_t>(build(s)), p), PictureError::none);
}

TEST(PcxReader, HeaderAndPaletteFaultsAreRefused) {
    struct Case {
        const char* what;
        Bytes file;
        PictureError want;
    };
    PcxFields ok;
    ok.xMax = 1;
    ok.yMax = 0;
    ok.bytesPerLine = 2;
    ok.data = {1, 2};
    auto with = [&](auto change) {
        PcxFields s = ok;
        change(s);
        return build(s);
    };
    Bytes shortHeader = build(ok);
    shortHeader.resize(100);
    Bytes shortHeaderOther = shortHeader;
    shortHeaderOther[0] = 0x0B;
    Bytes wrongMaker = build(ok);
    wrongMaker[0] = 0x0B;
    Bytes noPalette = build(ok);
    noPalette.resize(700);
    const Case cases[] = {
        {"empty file", {}, PictureError::notPicture},
        {"manufacturer not 0x0A", wrongMaker, PictureError::notPicture},
        {"header cut at 100 bytes", shortHeader, PictureError::truncated},
        {"header cut, wrong manufacturer", shortHeaderOther, PictureError::notPicture},
        {"version 3", with([](PcxFields& s) { s.version = 3; }), PictureError::unsupported},
        {"version 0", with([](PcxFields& s) { s.version = 0; }), PictureError::unsupported},
        {"file shorter than the palette block", noPalette, PictureError::truncated},
        {"palette marker not 12", with([](PcxFields& s) { s.marker = 0x0D; }), PictureError::malformed},
        {"line length below the width", with([](PcxFields& s) { s.xMax = 2; }), PictureError::malformed},
        {"line length 0", with([](PcxFields& s) { s.bytesPerLine = 0; s.xMax = 0xFFFF; }), PictureError::malformed},
        {"line length negative", with([](PcxFields& s) { s.bytesPerLine = 0x8000; }), PictureError::malformed},
        {"two planes", with([](PcxFields& s) { s.planes = 2; }), PictureError::unsupported},
        {"three planes (24-bit)", with([](PcxFields& s) { s.planes = 3; }), PictureError::unsupported},
        {"1 bit per pixel", with([](PcxFields& s) { s.bits = 1; }), PictureError::unsupported},
        {"width above 32767", with([](PcxFields& s) { s.xMax = 40000; s.bytesPerLine = 20000; s.planes = 2; }),
         PictureError::tooLarge},
        {"height above 32767 (y max below y min)", with([](PcxFields& s) { s.yMin = 5; s.yMax = 3; }),
         PictureError::tooLarge},
    };
    for (const Case& c : cases) {
        PictureLoader loader(nullptr);
        Picture p;
        EXPECT_EQ(loader.loadPcx(std::span<const std::uint8_t>(c.file), p), c.want) << c.what;
        if (c.want != PictureError::none) {
            EXPECT_TRUE(p.pixels.empty() && p.width == 0) << c.what;
        }
    }
    // Width 0 (x max one below x min) with a line length of 2: no pixels.
    PictureLoader loader(nullptr);
    Picture p;
    EXPECT_EQ(loader.loadPcx(std::span<const std::uint8_t>(with([](PcxFields& s) { s.xMin = 4; s.xMax = 3; })), p),
              PictureError::none);
    EXPECT_TRUE(p.pixels.empty());
    EXPECT_EQ(p.height, 1);
}

// ---- Fixtures written by independent encoders ----

TEST(PcxFixtures, LoadWithTheEncodersPixels) {
    const auto files = test::pictureFixtures(".pcx");
    ASSERT_GE(files.size(), 4u);
    for (const fs::path& f : files) {
        SCOPED_TRACE(f.filename().string());
        const auto want = test::readPpm(test::expectedDecode(f));
        ASSERT_TRUE(want) << "no expected decode";
        Captured load;
        Picture p;
        const Load r = load(test::readFile(f), p);
        ASSERT_EQ(r.error, PictureError::none);
        EXPECT_EQ(r.messages, "");
        EXPECT_EQ(test::compare(p, *want), "");
    }
}

TEST(PcxFixtures, EveryTruncationLoadsOrFailsCleanly) {
    for (const fs::path& f : test::pictureFixtures(".pcx")) {
        const Bytes whole = test::readFile(f);
        Captured load;
        Picture full;
        ASSERT_EQ(load(whole, full).error, PictureError::none) << f;
        for (std::size_t n = 0; n < whole.size(); ++n) {
            Picture p;
            const Load r = load(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)), p);
            if (r.error == PictureError::none) {
                // Only a byte 12 that happens to lie 769 bytes before the cut
                // passes for a palette block; the sides stay the header's.
                EXPECT_EQ(p.width, full.width) << f.filename() << " cut to " << n;
                EXPECT_EQ(p.pixels.size(), full.pixels.size()) << f.filename() << " cut to " << n;
            } else {
                EXPECT_TRUE(p.pixels.empty() && p.width == 0) << f.filename() << " cut to " << n;
            }
        }
    }
}

}  // namespace
}  // namespace qm5
