// The BMP readers: 24-bit, 8-bit and RLE8 files built field by field, the
// header faults each must refuse, the run-length codes, and the public
// suite. Longer than most files because the three variants share the
// builders here.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "picture/picture_loader.hpp"
#include "tests/picture_fixtures.hpp"
#include "tests/test_support.hpp"

namespace qm5 {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

// A BMP file put together field by field.
struct BmpFields {
    std::int32_t width = 1;
    std::int32_t height = 1;
    std::uint16_t bits = 8;
    std::uint32_t compression = 0;
    std::uint32_t infoSize = 40;
    std::uint32_t coloursUsed = 0;
    std::vector<std::uint32_t> palette;  // colours as read back (red low), stored blue, green, red, 0
    std::uint32_t gap = 0;               // bytes between palette and pixels
    std::optional<std::uint32_t> pixelOffset;
    Bytes pixels;
};

BmpFields bmpFields(std::int32_t width, std::int32_t height, std::uint16_t bits, std::uint32_t compression = 0,
                    std::vector<std::uint32_t> palette = {}, Bytes pixels = {}) {
    BmpFields s;
    s.width = width;
    s.height = height;
    s.bits = bits;
    s.compression = compression;
    s.palette = std::move(palette);
    s.pixels = std::move(pixels);
    return s;
}

using test::put32;

Bytes build(const BmpFields& s) {
    Bytes b(14 + s.infoSize, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 14, s.infoSize);
    put32(b, 18, static_cast<std::uint32_t>(s.width));
    put32(b, 22, static_cast<std::uint32_t>(s.height));
    b[26] = 1;
    b[28] = static_cast<std::uint8_t>(s.bits);
    b[29] = static_cast<std::uint8_t>(s.bits >> 8);
    put32(b, 30, s.compression);
    put32(b, 46, s.coloursUsed);
    for (std::uint32_t e : s.palette) {
        for (int i = 2; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(e >> (8 * i)));
        b.push_back(0);
    }
    b.resize(b.size() + s.gap, 0xEE);
    put32(b, 10, s.pixelOffset.value_or(static_cast<std::uint32_t>(b.size())));
    b.insert(b.end(), s.pixels.begin(), s.pixels.end());
    put32(b, 2, static_cast<std::uint32_t>(b.size()));
    return b;
}

// Entry i packs to this colour; entry 0 is not black, so pixels left at
// entry 0 are told apart from pixels never written.
std::uint32_t colourOf(int i) { return 0x408000u | static_cast<std::uint32_t>(i); }
std::vector<std::uint32_t> testPalette() {
    std::vector<std::uint32_t> p;
    for (int i = 0; i < 256; ++i) p.push_back(colourOf(i));
    return p;
}

std::string describePixels(const Picture& p) {
    std::ostringstream s;
    s << std::hex;
    for (std::size_t i = 0; i < p.pixels.size(); ++i) s << (i ? " " : "") << p.pixels[i];
    return s.str();
}

PictureError load8(const Bytes& file, Picture& out) {
    PictureLoader loader(nullptr);
    return loader.loadBmp8(std::span<const std::uint8_t>(file), out);
}
PictureError load24(const Bytes& file, Picture& out) {
    PictureLoader loader(nullptr);
    return loader.loadBmp24(std::span<const std::uint8_t>(file), out);
}

// Loads as the maker does: 24-bit first, 8-bit when that refuses.
PictureError loadEither(const Bytes& file, Picture& out) {
    if (load24(file, out) == PictureError::none) return PictureError::none;
    EXPECT_TRUE(out.pixels.empty());
    return load8(file, out);
}

// ---- Pixel layout and packing ----

TEST(BmpReader, TwentyFourBitRowsAreBottomUpAndPackBlueHigh) {
    // Width 2: 6 pixel bytes and 2 pad bytes per stored row.
    BmpFields s = bmpFields(2, 2, 24);
    s.pixels = {0x10, 0x20, 0x30, 0x01, 0x02, 0x03, 0xAA, 0xAA,   // P, Q: bottom row
                0x40, 0x50, 0x60, 0x04, 0x05, 0x06, 0xBB, 0xBB};  // S, T: top row
    Picture p;
    ASSERT_EQ(load24(build(s), p), PictureError::none);
    ASSERT_EQ(p.width, 2);
    ASSERT_EQ(p.height, 2);
    const std::uint32_t want[] = {0x405060, 0x040506, 0x102030, 0x010203};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(p.pixels[i], want[i]) << "pixel " << i << ", all: " << describePixels(p);
}

// A palette entry packs like a 24-bit pixel of the same bytes (red low), so
// one picture gives one texture whether saved with 8 or 24 bits.
TEST(BmpReader, EightBitPacksPaletteEntryLikeTwentyFourBitPixel) {
    // Width 3: stored rows of 4 bytes.
    BmpFields s = bmpFields(3, 2, 8, 0, std::vector<std::uint32_t>(256, 0));
    s.pixels = {7, 1, 7, 9, 1, 1, 7, 9};
    Bytes file = build(s);
    const std::uint8_t entry7[] = {0x10, 0x20, 0x30, 0x00}, entry1[] = {0xFF, 0x00, 0x00, 0x00};  // blue, green, red
    std::copy(std::begin(entry7), std::end(entry7), file.begin() + 54 + 4 * 7);
    std::copy(std::begin(entry1), std::end(entry1), file.begin() + 54 + 4 * 1);
    PictureLoader loader(nullptr);
    Picture p;
    ASSERT_EQ(loader.loadBmp8(std::span<const std::uint8_t>(file), p), PictureError::none);
    const std::uint32_t want[] = {0xFF0000, 0xFF0000, 0x102030, 0x102030, 0xFF0000, 0x102030};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p.pixels[i], want[i]) << "pixel " << i << ", all: " << describePixels(p);
    EXPECT_EQ(loader.palette[7], 0x102030u);

    Picture q;
    ASSERT_EQ(load24(build(bmpFields(1, 1, 24, 0, {}, {0x10, 0x20, 0x30, 0})), q), PictureError::none);
    EXPECT_EQ(q.pixels[0], loader.palette[7]) << "24-bit pixel of the same bytes";
}

// ---- Palette and pixel placement from the headers ----

TEST(BmpReader, PaletteFollowsTheInfoHeaderAndPixelsTheOffset) {
    struct Case {
        const char* what;
        std::uint32_t infoSize, coloursUsed, entries, gap;
    };
    const Case cases[] = {
        {"40-byte header, 256 entries", 40, 0, 256, 0},
        {"108-byte header", 108, 0, 256, 0},
        {"124-byte header", 124, 0, 256, 0},
        {"two entries", 40, 2, 2, 0},
        {"two entries and a gap before the pixels", 124, 2, 2, 9},
        {"256 entries said outright", 40, 256, 256, 3},
    };
    for (const Case& c : cases) {
        for (std::uint32_t compression : {0u, 1u}) {
            BmpFields s = bmpFields(3, 1, 8, compression);
            s.infoSize = c.infoSize;
            s.coloursUsed = c.coloursUsed;
            s.gap = c.gap;
            for (std::uint32_t i = 0; i < c.entries; ++i) s.palette.push_back(0x111111u * (i + 1) & 0xFFFFFF);
            // Index 5 lies past a two-entry palette: black.
            s.pixels = compression == 0 ? Bytes{1, 0, 5, 0} : Bytes{0, 3, 1, 0, 5, 0, 0, 1};
            Picture p;
            ASSERT_EQ(load8(build(s), p), PictureError::none) << c.what << ", compression " << compression;
            const std::uint32_t want5 = c.entries > 5 ? 0x666666u : 0u;
            EXPECT_EQ(p.pixels[0], 0x222222u) << c.what;
            EXPECT_EQ(p.pixels[1], 0x111111u) << c.what;
            EXPECT_EQ(p.pixels[2], want5) << c.what << ", compression " << compression;
        }
    }
    // A 24-bit file with a palette and a gap: pixels from the offset.
    BmpFields s = bmpFields(1, 1, 24);
    s.infoSize = 108;
    s.coloursUsed = 3;
    s.palette = {1, 2, 3};
    s.gap = 5;
    s.pixels = {0x10, 0x20, 0x30, 0};
    Picture p;
    ASSERT_EQ(load24(build(s), p), PictureError::none);
    EXPECT_EQ(p.pixels[0], 0x102030u);
}

// A file and what each reader must say of it.
struct HeaderCase {
    const char* what;
    Bytes file;
    PictureError want8, want24;
};

// Faults of the file and of the headers that both readers meet, checked on
// 8-bit files.
std::vector<HeaderCase> headerFaults() {
    const auto tiny8 = [] {
        BmpFields s;
        s.palette = testPalette();
        s.pixels = {0, 0, 0, 0};
        return s;
    };
    std::vector<HeaderCase> cases;
    auto add = [&](const char* what, const Bytes& file, PictureError w8, PictureError w24) {
        cases.push_back({what, file, w8, w24});
    };
    const PictureError unsupported = PictureError::unsupported, malformed = PictureError::malformed,
                       truncated = PictureError::truncated, tooLarge = PictureError::tooLarge,
                       notPicture = PictureError::notPicture;

    add("empty file", {}, notPicture, notPicture);
    add("wrong signature", {'B', 'A', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, notPicture, notPicture);
    add("signature only", {'B', 'M'}, truncated, truncated);
    {
        Bytes f = build(tiny8());
        f.resize(16);
        add("file ends inside the info header size", f, truncated, truncated);
        f = build(tiny8());
        f.resize(40);
        add("file ends inside the info header", f, truncated, truncated);
    }
    for (std::uint32_t size : {12u, 16u, 52u, 56u, 64u, 125u}) {
        BmpFields s = tiny8();
        s.infoSize = size < 40 ? 40 : size;
        Bytes f = build(s);
        put32(f, 14, size);
        add("info header size not 40, 108 or 124", f, malformed, malformed);
    }
    {
        BmpFields s = tiny8();
        s.height = -1;
        add("top-down rows", build(s), malformed, unsupported);
        s = tiny8();
        s.width = -1;
        add("negative width", build(s), malformed, unsupported);
        s = tiny8();
        s.width = 32768;
        add("width above 32767", build(s), tooLarge, unsupported);
        s = tiny8();
        s.height = 40000;
        s.compression = 1;
        add("height above 32767", build(s), tooLarge, unsupported);
        s = tiny8();
        s.coloursUsed = 257;
        add("colours used above 256", build(s), malformed, unsupported);
        s = tiny8();
        s.pixelOffset = 1000000;
        add("pixel offset past the end of the file", build(s), malformed, unsupported);
        s = tiny8();
        s.pixelOffset = 54;
        add("pixel offset inside the palette", build(s), malformed, unsupported);
        s = tiny8();
        s.pixels.pop_back();
        add("uncompressed row short by one byte", build(s), truncated, unsupported);
        s = tiny8();
        s.width = 30000;
        s.height = 30000;
        add("30000x30000 announced by a tiny file", build(s), truncated, unsupported);
        s = tiny8();
        s.palette.resize(100);
        s.pixelOffset = 54 + 1024;
        add("file ends inside the palette", build(s), malformed, unsupported);
        s = tiny8();
        s.compression = 2;
        add("RLE4", build(s), unsupported, unsupported);
        s = tiny8();
        s.bits = 4;
        add("4 bits per pixel", build(s), unsupported, unsupported);
    }
    return cases;
}

TEST(BmpReader, HeaderFaultsAreRefusedWithTheirReason) {
    std::vector<HeaderCase> cases = headerFaults();
    auto add = [&](const char* what, const Bytes& file, PictureError w8, PictureError w24) {
        cases.push_back({what, file, w8, w24});
    };
    const PictureError unsupported = PictureError::unsupported, truncated = PictureError::truncated,
                       tooLarge = PictureError::tooLarge;
    {
        BmpFields s = bmpFields(1, 1, 24, 0, {}, {1, 2, 3, 0});
        add("24-bit file", build(s), unsupported, PictureError::none);
        s.compression = 1;
        add("24-bit with compression 1", build(s), unsupported, unsupported);
        s.compression = 0;
        s.pixels = {1, 2, 3};
        add("24-bit row without its pad byte", build(s), unsupported, truncated);
        s.pixels = {1, 2, 3, 0};
        s.width = 5000;
        s.height = 5000;
        add("24-bit 5000x5000 announced by a tiny file", build(s), unsupported, truncated);
        s.width = 1;
        s.height = 32768;
        add("24-bit height above 32767", build(s), unsupported, tooLarge);
    }

    for (const HeaderCase& c : cases) {
        Picture p8, p24;
        EXPECT_EQ(load8(c.file, p8), c.want8) << c.what << ": loadBmp8";
        EXPECT_EQ(load24(c.file, p24), c.want24) << c.what << ": loadBmp24";
        if (c.want8 != PictureError::none) {
            EXPECT_TRUE(p8.pixels.empty() && p8.width == 0) << c.what;
        }
        if (c.want24 != PictureError::none) {
            EXPECT_TRUE(p24.pixels.empty() && p24.width == 0) << c.what;
        }
    }
}

TEST(BmpReader, FailedLoadEmptiesAPictureThatHeldPixels) {
    Picture p;
    ASSERT_TRUE(p.allocate(2, 2));
    EXPECT_EQ(load8({'B', 'M'}, p), PictureError::truncated);
    EXPECT_TRUE(p.pixels.empty());
    EXPECT_EQ(p.width, 0);
    EXPECT_EQ(p.height, 0);
}

TEST(BmpReader, ZeroSidesGiveAPictureWithoutPixels) {
    for (std::uint32_t compression : {0u, 1u}) {
        BmpFields s = bmpFields(0, 3, 8, compression, testPalette());
        if (compression == 1) s.pixels = {0, 1};
        PictureLoader loader(nullptr);
        Picture p;
        const Bytes file = build(s);
        ASSERT_EQ(loader.loadBmp8(std::span<const std::uint8_t>(file), p), PictureError::none) << compression;
        EXPECT_TRUE(p.pixels.empty());
        EXPECT_EQ(p.height, 3);
        EXPECT_EQ(loader.palette[9], colourOf(9)) << "the palette is still read";
    }
    BmpFields s = bmpFields(4, 0, 24);
    Picture p;
    EXPECT_EQ(load24(build(s), p), PictureError::none);
    EXPECT_EQ(p.width, 4);
    EXPECT_TRUE(p.pixels.empty());
}

// ---- RLE8 ----

struct RleCase {
    const char* what;
    std::int32_t width, height;
    Bytes stream;
    std::vector<int> want;  // palette indices, row 0 (top) first
};

void expectRle(const RleCase& c) {
    BmpFields s = bmpFields(c.width, c.height, 8, 1, testPalette(), c.stream);
    Picture p;
    ASSERT_EQ(load8(build(s), p), PictureError::none) << c.what << ": stream " << test::hex(c.stream);
    ASSERT_EQ(p.pixels.size(), c.want.size()) << c.what;
    std::ostringstream want;
    want << std::hex;
    for (std::size_t i = 0; i < c.want.size(); ++i) want << (i ? " " : "") << colourOf(c.want[i]);
    for (std::size_t i = 0; i < c.want.size(); ++i) {
        if (p.pixels[i] != colourOf(c.want[i])) {
            ADD_FAILURE() << c.what << ": stream " << test::hex(c.stream) << "\n got " << describePixels(p)
                          << "\nwant " << want.str();
            return;
        }
    }
}

TEST(BmpRle8, CodesStoreWhereThePositionRuleSays) {
    const RleCase cases[] = {
        {"encoded run 03 05", 4, 1, {3, 5, 0, 1}, {5, 5, 5, 0}},
        {"odd absolute run skips its pad byte", 5, 1, {0, 3, 1, 2, 3, 0, 1, 7, 0, 1}, {1, 2, 3, 7, 0}},
        {"even absolute run skips nothing", 6, 1, {0, 4, 1, 2, 3, 4, 1, 7, 0, 1}, {1, 2, 3, 4, 7, 0}},
        {"early end of bitmap leaves entry 0", 2, 3, {2, 9, 0, 1, 5, 5}, {0, 0, 0, 0, 9, 9}},
        {"delta 00 02 05 01 moves without storing", 8, 2, {0, 2, 5, 1, 1, 9, 0, 1},
         {0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"end of line mid row", 3, 2, {1, 4, 0, 0, 1, 6, 0, 1}, {6, 0, 0, 4, 0, 0}},
        {"end of line after a full row changes nothing", 2, 3, {2, 1, 0, 0, 2, 2, 0, 1}, {0, 0, 2, 2, 1, 1}},
        {"two ends of line move up one row only", 2, 3, {2, 1, 0, 0, 0, 0, 2, 2, 0, 1}, {0, 0, 2, 2, 1, 1}},
        {"end of line at the start moves up a row", 2, 2, {0, 0, 1, 3, 0, 1}, {3, 0, 0, 0}},
        {"delta to exactly the width goes to column 0 a row up", 4, 3, {0, 2, 4, 0, 1, 5, 0, 1},
         {0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0}},
        {"delta after an end of line", 3, 3, {0, 0, 0, 2, 1, 0, 1, 8, 0, 1}, {0, 0, 0, 0, 8, 0, 0, 0, 0}},
        {"run past the right edge is dropped", 3, 2, {5, 1, 0, 0, 3, 2, 0, 1}, {2, 2, 2, 1, 1, 1}},
        {"run that fills a row and goes on is dropped", 2, 2, {2, 1, 2, 3, 0, 0, 1, 4, 0, 1}, {4, 0, 1, 1}},
        {"absolute run past the right edge is dropped", 2, 2, {0, 3, 1, 2, 3, 0, 0, 0, 1, 4, 0, 1}, {4, 0, 1, 2}},
        {"run above the top row is dropped", 2, 1, {5, 3, 0, 1}, {3, 3}},
        // Rows written back to back: pixels past the edge go on in the row
        // above unless an end of line or end of bitmap comes next.
        {"run at a full row's edge carries when a run follows", 3, 2, {3, 1, 2, 2, 1, 3, 0, 1}, {2, 2, 3, 1, 1, 1}},
        {"rest of a run past the edge carries before a delta", 3, 2, {4, 1, 0, 2, 1, 0, 1, 5, 0, 1},
         {1, 0, 5, 1, 1, 1}},
        {"pixels past the edge carry at the end of the file", 2, 2, {2, 1, 2, 3}, {3, 3, 1, 1}},
        {"delta above the top row ends decoding", 2, 2, {1, 1, 0, 2, 0, 9, 1, 4, 0, 1}, {0, 0, 1, 0}},
        {"delta far past the width drops until end of line", 3, 3, {0, 2, 255, 0, 2, 4, 0, 0, 1, 6, 0, 1},
         {6, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"stream without end of bitmap that reaches every pixel", 2, 1, {2, 1}, {1, 1}},
        {"full picture, end of line, then end of file", 2, 1, {2, 1, 0, 0}, {1, 1}},
        {"odd absolute run filling the picture, pad byte missing", 2, 1, {0, 3, 1, 2, 3}, {1, 2}},
    };
    for (const RleCase& c : cases) expectRle(c);
}

// A stream that ends (end of file) before its end-of-bitmap code with pixels
// still unreached is refused: returning the partial picture would pass a
// truncated file off as a whole one. A failed read is never taken as data.
TEST(BmpRle8, StreamEndingBeforeAllPixelsIsTruncated) {
    const std::pair<const char*, Bytes> cases[] = {
        {"empty stream", {}},
        {"one row of two", {2, 1}},
        {"run count without its value", {1}},
        {"escape without its code", {0}},
        {"delta without its offsets", {0, 2, 1}},
        {"absolute run cut short", {0, 4, 1, 2}},
        {"end of line on the last row but one", {2, 1, 0, 0}},
    };
    for (const auto& [what, stream] : cases) {
        BmpFields s = bmpFields(2, 2, 8, 1, testPalette(), stream);
        Picture p;
        EXPECT_EQ(load8(build(s), p), PictureError::truncated) << what << ": stream " << test::hex(stream);
        EXPECT_TRUE(p.pixels.empty()) << what;
    }
}

// ---- Fixtures written by independent encoders ----

TEST(BmpFixtures, LoadWithTheEncodersPixels) {
    const auto files = test::pictureFixtures(".bmp");
    ASSERT_GE(files.size(), 9u);
    for (const fs::path& f : files) {
        SCOPED_TRACE(f.filename().string());
        const Bytes file = test::readFile(f);
        const auto want = test::readPpm(test::expectedDecode(f));
        ASSERT_TRUE(want) << "no expected decode";
        Picture p;
        ASSERT_EQ(loadEither(file, p), PictureError::none);
        EXPECT_EQ(test::compare(p, *want), "");
    }
}

TEST(BmpFixtures, EveryTruncationLoadsOrFailsCleanly) {
    for (const fs::path& f : test::pictureFixtures(".bmp")) {
        const Bytes whole = test::readFile(f);
        Picture full;
        ASSERT_EQ(loadEither(whole, full), PictureError::none) << f;
        for (std::size_t n = 0; n < whole.size(); ++n) {
            const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
            Picture p;
            const PictureError e = loadEither(cut, p);
            if (e == PictureError::none) {
                // Only an RLE8 stream that already reached every pixel may
                // lose its closing codes (and the pad runs before them).
                EXPECT_EQ(test::hex(reinterpret_cast<const std::uint8_t*>(p.pixels.data()), p.pixels.size() * 4),
                          test::hex(reinterpret_cast<const std::uint8_t*>(full.pixels.data()), full.pixels.size() * 4))
                    << f.filename() << " cut to " << n << " bytes loads with other pixels";
            } else {
                EXPECT_TRUE(p.pixels.empty() && p.width == 0 && p.height == 0) << f.filename() << " cut to " << n;
            }
        }
    }
}

// ---- BMP Suite ----

TEST(BmpSuite, SupportedFilesMatchAnIndependentDecodeOthersAreRefused) {
    const fs::path suite = test::bmpSuite();
    if (!fs::is_directory(suite)) GTEST_SKIP() << "BMP Suite not found at " << suite;
    const auto expected = test::suiteExpectations("tests/fixtures/pictures/bmpsuite_expected.txt");
    ASSERT_GE(expected.size(), 12u);
    int loaded = 0;
    for (const char* dir : {"g", "q", "b"}) {
        for (const auto& entry : fs::directory_iterator(suite / dir)) {
            const std::string name = std::string(dir) + "/" + entry.path().filename().string();
            SCOPED_TRACE(name);
            const Bytes file = test::readFile(entry.path());
            Picture p;
            const PictureError e = loadEither(file, p);
            const auto want = expected.find(name);
            if (want != expected.end()) {
                ASSERT_EQ(e, PictureError::none) << describe(e);
                ++loaded;
                EXPECT_EQ(p.width, want->second.width);
                EXPECT_EQ(p.height, want->second.height);
                EXPECT_EQ(test::fnvOfRgb(p), want->second.hash)
                    << std::hex << "hash of the RGB bytes: got " << test::fnvOfRgb(p) << ", want " << want->second.hash;
            } else if (name[0] == 'g') {
                // Every good file outside the variants read is refused.
                EXPECT_NE(e, PictureError::none);
            }
            if (e != PictureError::none) {
                EXPECT_TRUE(p.pixels.empty() && p.width == 0) << describe(e);
            }
        }
    }
    EXPECT_EQ(loaded, static_cast<int>(expected.size()));
}

}  // namespace
}  // namespace qm5
