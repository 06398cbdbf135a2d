// Textures that ask for more than their bytes justify: a picture of 2^30
// pixels in 27 bytes, records whose cubes cover the picture thousands of
// times, inputs that never end. Each is refused at once under the qm5
// command's limits, read no further than its header allows without them,
// and painted fast by a painter that gives the pixels of the simple one.
#include <gtest/gtest.h>

#include <random>

#include "formats/png_codec.hpp"
#include "texture/descending_painter.hpp"
#include "texture/mask_painter.hpp"
#include "texture/record_painter.hpp"
#include "texture/texture_decoder.hpp"
#include "tests/reference_decoder.hpp"
#include "tests/test_support.hpp"
#include "tests/texture_builder.hpp"

#if defined(QM5_TEST_POSIX)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qm5 {
namespace {

using test::Bytes;
using test::TextureBytes;

// One colour over 32767 x 32767 pixels: a whole record, 27 bytes.
Bytes bomb() { return TextureBytes(1, 1, 32767, 32767).u32(0x102030).hex("80 00 00").bytes; }

std::span<const std::uint8_t> span(const Bytes& b) { return {b.data(), b.size()}; }

// Random compressed textures: sizes around word and power-of-two edges,
// whole, empty and general records, b other than the picture's, cubes with
// bits in both masks and fill cubes.
TEST(RecordPainter, PaintsThePixelsOfTheSimplePainter) {
    std::mt19937 rng(5);
    const std::pair<int, int> sizes[] = {{1, 1}, {3, 1}, {8, 8}, {9, 7}, {65, 1}, {64, 3}, {33, 31}, {100, 41}};
    for (const auto& [w, h] : sizes) {
        for (int round = 0; round < 12; ++round) {
            const std::uint16_t colours = static_cast<std::uint16_t>(1 + rng() % 6);
            TextureBytes t(colours, 1, static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h));
            for (int c = 0; c < colours; ++c) t.u32(0x010101u * static_cast<std::uint32_t>(c + 1));
            const int pictureBits = positionBitCount(static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h));
            for (int c = 0; c < colours; ++c) {
                const unsigned kind = rng() % 8;
                if (kind == 0) t.hex("00 00 00");
                if (kind == 1) t.hex("80 00 00");
                if (kind < 2) continue;
                const int b = std::max(1, pictureBits + static_cast<int>(rng() % 3) - 1);
                const std::uint64_t n = rng() % 5;
                Bytes data(cubeDataLength(n, b), 0);
                CubeStreamWriter out({data.data(), data.size()}, b);
                for (std::uint64_t k = 0; k < n; ++k) {
                    const std::uint32_t digits = static_cast<std::uint32_t>((std::uint64_t{1} << b) - 1);
                    const std::uint32_t care = static_cast<std::uint32_t>(rng()) & static_cast<std::uint32_t>(rng()) & digits;
                    const std::uint32_t one = static_cast<std::uint32_t>(rng()) & care;
                    const std::uint32_t clash = rng() % 9 == 0 ? care & ~one : 0;  // a bit in both masks
                    out.put({(care & ~one) | (one & clash), one | clash});
                }
                t.u8(static_cast<std::uint8_t>(data.size() >> 8)).u8(static_cast<std::uint8_t>(data.size())).u8(static_cast<std::uint8_t>(b));
                t.raw(data);
            }
            Picture got;
            ASSERT_EQ(decodeTextureImage(span(t.bytes), 0, got, DecodeOptions::unlimited()).kind, TextureProblemKind::none);
            EXPECT_EQ(std::vector<std::uint32_t>(got.pixels.begin(), got.pixels.end()), test::referenceColours(span(t.bytes), 0))
                << w << " x " << h << ", texture " << test::hex(t.bytes);
        }
    }
}

// A record as long as a record can be, of cubes that each fix one digit:
// on 2048 x 2048 pixels, 11915 cubes in 65 KB that ask the simple painter
// for 2.5 x 10^10 pixel writes; here on 256 x 256, 16383 cubes. Once the
// parts a cube fixes are complete its repeats cost nothing, and the work
// is counted while painting, against the limit.
TEST(RecordPainter, WorkFollowsWhatIsPaintedAndIsLimited) {
    constexpr int b = 16;
    TextureBytes t(2, 1, 256, 256);
    t.u32(0x0000FF).u32(0x00FF00);
    const std::uint64_t n = cubeCountOf(65535, b);
    Bytes data(65535, 0);
    CubeStreamWriter out({data.data(), data.size()}, b);
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint32_t digit = std::uint32_t{1} << (k % b);
        out.put(k % 2 == 0 ? CubeMasks{digit, 0} : CubeMasks{0, digit});
    }
    t.hex("FF FF 10").raw(data).hex("80 00 00");
    Picture picture;
    ASSERT_EQ(decodeTextureImage(span(t.bytes), 0, picture).kind, TextureProblemKind::none);
    // Even digits are fixed to 0, odd ones to 1: only 0x5555 escapes them all.
    EXPECT_EQ(picture.pixels[0], 0x0000FFu);
    EXPECT_EQ(picture.pixels[0x5555], 0x00FF00u);
    EXPECT_EQ(picture.pixels[0xFFFF], 0x0000FFu);
    DecodeOptions tight;
    tight.maxPaintWork = 0;
    const TextureProblem refused = decodeTextureImage(span(t.bytes), 0, picture, tight);
    EXPECT_EQ(refused.kind, TextureProblemKind::tooMuchWork);
    EXPECT_EQ(refused.image, 0);
    EXPECT_EQ(refused.offset, 20u + 8u);
    EXPECT_TRUE(picture.pixels.empty());

    // A cube repeated after its part of the picture is complete takes no step.
    std::vector<std::uint8_t> cells(std::size_t{1} << b);
    BasicRecordPainter<std::uint8_t> painter;
    ASSERT_TRUE(painter.start(cells.size(), cells.data()));
    ASSERT_TRUE(painter.paint({1u << 15, 0}, b, 1));
    const std::uint64_t once = painter.steps();
    for (int k = 0; k < 1000; ++k) ASSERT_TRUE(painter.paint({1u << 15, 0}, b, 2));
    EXPECT_EQ(painter.steps(), once);
    EXPECT_EQ(cells[0], 1);
    EXPECT_EQ(cells[1u << 15], 0);

    // Cubes of one position per word never complete a word: each repeat
    // takes the steps of the first, and painting stops past the budget.
    ASSERT_TRUE(painter.start(cells.size(), cells.data()));
    ASSERT_TRUE(painter.paint({0x3F, 0}, b, 1));
    const std::uint64_t each = painter.steps();
    ASSERT_GT(each, 0u);
    ASSERT_TRUE(painter.start(cells.size(), cells.data(), 10 * each - 1));
    for (int k = 0; k < 9; ++k) ASSERT_TRUE(painter.paint({0x3F, 0}, b, 1));
    EXPECT_FALSE(painter.paint({0x3F, 0}, b, 1));
    EXPECT_TRUE(painter.overBudget());
    EXPECT_FALSE(painter.paintAll(1)) << "nothing more is painted";
}

// Painting from the top down and by masks give the record painter's
// cells, and are taken only where the record painter keeps within the
// limit: on random images of small cubes (by word and by lane), walked
// cubes and pictures that end inside a word, each declines every budget
// below the record painter's steps.
TEST(DescendingPainter, PaintsTheRecordPaintersCellsWithinItsLimit) {
    std::mt19937 rng(11);
    int taken = 0, images = 0;
    for (const std::uint64_t pixels : {std::uint64_t{4096}, std::uint64_t{100 * 41}, std::uint64_t{65536},
                                       std::uint64_t{300 * 200}}) {
        const int b = positionBitCount(pixels);
        const std::uint32_t digits = (1u << b) - 1;
        for (int round = 0; round < 8; ++round, ++images) {
            const int colours = 2 + static_cast<int>(rng() % 6);
            std::vector<Bytes> data;
            std::vector<CubeMasks> earlier;  // the cubes of lower colours
            for (int c = 0; c + 1 < colours; ++c) {
                const std::uint64_t n = rng() % 40;
                data.emplace_back(cubeDataLength(n, b), 0);
                CubeStreamWriter out({data.back().data(), data.back().size()}, b);
                const std::size_t lower = earlier.size();
                for (std::uint64_t k = 0; k < n; ++k) {
                    // A lower colour's cube again: its positions keep the
                    // lower colour.
                    if (lower != 0 && rng() % 4 == 0) {
                        out.put(earlier[rng() % lower]);
                        continue;
                    }
                    // Each digit free one time in four, or eight word digits
                    // free (a cube that walks).
                    std::uint32_t free = static_cast<std::uint32_t>(rng()) & static_cast<std::uint32_t>(rng());
                    if (b >= 14 && rng() % 6 == 0) free = 0xFFu << (6 + rng() % (b - 13));
                    const std::uint32_t care = digits & ~free;
                    const std::uint32_t one = static_cast<std::uint32_t>(rng()) & care;
                    out.put({care & ~one, one});
                    earlier.push_back({care & ~one, one});
                }
            }
            std::vector<std::uint8_t> want(pixels), got(pixels + kDescendingSlack);
            BasicRecordPainter<std::uint8_t> painter;
            ASSERT_TRUE(painter.start(pixels, want.data()));
            std::vector<RecordData> records;
            for (int c = 0; c + 1 < colours; ++c) {
                records.push_back({data[c].data(), static_cast<std::uint32_t>(data[c].size()), b});
                if (!painter.complete()) painter.paintRecord({data[c].data(), data[c].size()}, b, static_cast<std::uint8_t>(c));
            }
            painter.paintAll(static_cast<std::uint8_t>(colours - 1));
            HeapArray<std::uint8_t> scratch;
            const std::uint8_t whole = static_cast<std::uint8_t>(colours - 1);
            if (paintDescending<std::uint8_t>(records, whole, pixels, got.data(), {kNoLimit, kNoLimit}, scratch)) {
                ++taken;
                EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << pixels << " pixels, round " << round;
            }
            EXPECT_FALSE(paintDescending<std::uint8_t>(records, whole, pixels, got.data(),
                                                       {kNoLimit, painter.steps() - 1}, scratch))
                << pixels << " pixels, round " << round << ": the record painter takes " << painter.steps() << " steps";
            std::fill(got.begin(), got.end(), 0xEE);
            ASSERT_TRUE(paintByMasks<std::uint8_t>(records, whole, pixels, got.data(), {kNoLimit, kNoLimit}, scratch));
            EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << pixels << " pixels by masks, round " << round;
            EXPECT_FALSE(paintByMasks<std::uint8_t>(records, whole, pixels, got.data(),
                                                    {kNoLimit, painter.steps() - 1}, scratch));
        }
    }
    EXPECT_GE(taken, images / 2);
}

// A texture of side x side pixels whose records hold `cubes` in turn, as
// many to a record as a record holds, then a whole record; colour c is c.
Bytes cubeTexture(std::uint16_t side, const std::vector<CubeMasks>& cubes) {
    const int b = positionBitCount(std::uint64_t{side} * side);
    const std::uint64_t perRecord = cubeCountOf(65535, b);
    const std::uint64_t records = (cubes.size() + perRecord - 1) / perRecord;
    TextureBytes t(static_cast<std::uint16_t>(records + 1), 1, side, side);
    for (std::uint64_t c = 0; c <= records; ++c) t.u32(static_cast<std::uint32_t>(c));
    for (std::uint64_t r = 0; r < records; ++r) {
        const std::uint64_t n = std::min<std::uint64_t>(perRecord, cubes.size() - r * perRecord);
        Bytes data(cubeDataLength(n, b), 0);
        CubeStreamWriter out({data.data(), data.size()}, b);
        for (std::uint64_t k = 0; k < n; ++k) out.put(cubes[r * perRecord + k]);
        t.u8(static_cast<std::uint8_t>(data.size() >> 8)).u8(static_cast<std::uint8_t>(data.size())).u8(static_cast<std::uint8_t>(b));
        t.raw(data);
    }
    return t.hex("80 00 00").bytes;
}

// Steps the painter takes for the records of a texture of cubeTexture.
std::uint64_t stepsOf(std::uint16_t side, const std::vector<CubeMasks>& cubes, std::uint64_t budget) {
    const std::uint64_t pixels = std::uint64_t{side} * side;
    std::vector<std::uint8_t> cells(pixels);
    BasicRecordPainter<std::uint8_t> painter;
    EXPECT_TRUE(painter.start(pixels, cells.data(), budget));
    for (const CubeMasks& cube : cubes) {
        if (!painter.paint(cube, positionBitCount(pixels), 1)) break;
    }
    return painter.steps();
}

// Paint bombs: as many cubes as a few hundred KB hold, on 1024 x 1024
// pixels. Cubes that fix the six low digits and the first word digit and
// repeat (the 3.4 MB texture of 8192 x 8192 that took 533 s) cost what
// their first 128 paint; cubes of one position per word, which never
// complete a word, are stopped by the limit, counted while painting.
TEST(BoundedDecoding, PaintBombsCostWhatTheyPaintOrAreStopped) {
    constexpr std::uint16_t side = 1024;
    constexpr std::uint64_t pixels = std::uint64_t{side} * side;
    std::vector<CubeMasks> repeated, lanes;
    for (std::uint32_t k = 0; k < 100000; ++k) {
        repeated.push_back({0x7Fu & ~(k % 128), k % 128});
        lanes.push_back({0x3Fu & ~(1 + k % 63), 1 + k % 63});
    }
    const std::vector<CubeMasks> first(repeated.begin(), repeated.begin() + 128);
    EXPECT_EQ(stepsOf(side, repeated, kNoLimit), stepsOf(side, first, kNoLimit));
    EXPECT_LE(stepsOf(side, first, kNoLimit), pixels / 8) << "two steps for each part of 4096 positions a cube allows";
    Picture picture;
    ASSERT_EQ(decodeTextureImage(span(cubeTexture(side, repeated)), 0, picture).kind, TextureProblemKind::none);
    EXPECT_EQ(picture.pixels[0], 0u);
    EXPECT_EQ(picture.pixels[pixels - 1], 0u);

    const Bytes never = cubeTexture(side, lanes);
    DecodeOptions limits;
    limits.maxPaintSteps = 1 << 22;
    const TextureProblem refused = decodeTextureImage(span(never), 0, picture, limits);
    EXPECT_EQ(refused.kind, TextureProblemKind::tooMuchWork);
    EXPECT_EQ(refused.expected, (1 << 22) / static_cast<std::int64_t>(pixels)) << "the per-image limit, per pixel";
    EXPECT_LE(stepsOf(side, lanes, 1 << 22), (1u << 22) + 64) << "painting stops at the budget";
    EXPECT_EQ(describeProblem(TextureHeader{}, refused).text,
              std::string("image 0 takes more than 4 painting steps per pixel, the limit"));
}

// Small cubes, which find their words from their indices rather than by
// the walk, are counted and stopped as well: cubes of one lane that leave
// six word digits free, three within a block (looked at block by block
// and lane by lane), and of eight lanes that leave two word digits of a
// block free (looked at word by word), none ever completing a word.
TEST(BoundedDecoding, SmallCubesThatNeverCompleteAWordAreStopped) {
    constexpr std::uint16_t side = 1024;
    constexpr std::uint32_t digits = (1u << 20) - 1;
    std::vector<CubeMasks> lanes, words;
    for (std::uint32_t k = 0; k < 100000; ++k) {
        const std::uint32_t laneCare = digits & ~(0x3Fu << 9);
        const std::uint32_t laneOne = (((k * 2654435761u) >> 8) & laneCare & ~0x3Fu) | (1 + k % 63);
        lanes.push_back({laneCare & ~laneOne, laneOne});
        const std::uint32_t wordCare = digits & ~(0x7u | (0x3u << 6));
        const std::uint32_t wordOne = (((k * 2654435761u) >> 8) & wordCare & ~0x3Fu) | (8 + 8 * (k % 7));
        words.push_back({wordCare & ~wordOne, wordOne});
    }
    for (const auto& cubes : {lanes, words}) {
        const std::uint64_t budget = 1 << 18;
        EXPECT_GT(stepsOf(side, cubes, kNoLimit), budget);
        EXPECT_LE(stepsOf(side, cubes, budget), budget + 256) << "at most a cube's steps past the budget";
        DecodeOptions limits;
        limits.maxPaintSteps = budget;
        Picture picture;
        EXPECT_EQ(decodeTextureImage(span(cubeTexture(side, cubes)), 0, picture, limits).kind,
                  TextureProblemKind::tooMuchWork);
    }
}

// The qm5 command's defaults, the options that raise them, and the texts.
TEST(BoundedDecoding, LimitsRefuseAtOnceAndCanBeRaised) {
    Picture picture;
    EXPECT_EQ(decodeTextureImage(span(bomb()), 0, picture).kind, TextureProblemKind::tooLarge);
    test::TempDir dir;
    test::writeFile(dir / "bomb.qm5", bomb());
    test::writeFile(dir / "one.bmp", test::bmp24(1, 1, {0x102030}));
    const Bytes small = TextureBytes(1, 1, 64, 64).u32(7).hex("80 00 00").bytes;
    test::writeFile(dir / "small.qm5", small);
    // Encoding: a picture's header is enough to refuse it (58 bytes that
    // announce 32767 x 32767 pixels).
    test::writeFile(dir / "two.bmp", test::bmp24(2, 1, {1, 2}));
    Bytes huge = test::bmp24(1, 1, {3});
    test::put32(huge, 18, 32767);
    test::put32(huge, 22, 32767);
    test::writeFile(dir / "huge.bmp", huge);
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    } runs[] = {
        {{"decode", "bomb.qm5"}, 1, "qm5: bomb.qm5: 32767 x 32767 pixels exceed the limit of 67108864 (use --max-pixels)\n"},
        {{"verify", "one.bmp", "bomb.qm5", "--no-limits"}, 1, "qm5: bomb.qm5: is 32767 x 32767 pixels, but one.bmp is 1 x 1\n"},
        {{"decode", "small.qm5", "--max-pixels", "4095"}, 1,
         "qm5: small.qm5: 64 x 64 pixels exceed the limit of 4095 (use --max-pixels)\n"},
        {{"decode", "small.qm5", "--max-pixels", "4096"}, 0, ""},
        {{"decode", "small.qm5", "--max-pixels", "0"}, 2,
         "qm5 decode: --max-pixels needs a whole number from 1, got '0'\nTry 'qm5 decode --help'.\n"},
        {{"encode", "huge.bmp"}, 1, "qm5: huge.bmp: 32767 x 32767 pixels exceed the limit of 67108864 (use --max-pixels)\n"},
        {{"encode", "huge.bmp", "--no-limits"}, 1, "qm5: huge.bmp: the file ends before its data\n"},
        {{"encode", "two.bmp", "--max-pixels", "1"}, 1, "qm5: two.bmp: 2 x 1 pixels exceed the limit of 1 (use --max-pixels)\n"},
        {{"encode", "two.bmp", "--max-pixels", "2", "-q"}, 0, ""},
    };
    for (const auto& run : runs) {
        const auto r = test::runProgram(QM5_CMD_BIN, run.args, dir.path());
        EXPECT_EQ(r.exitCode, run.exitCode) << run.args[0] << " " << run.args[1] << ": " << r.err;
        EXPECT_EQ(r.err, run.err);
    }
    EXPECT_FALSE(test::fileExists(dir / "bomb.bmp"));
}

#if defined(QM5_TEST_POSIX)
// Pipes, /dev/stdin and /dev/zero are POSIX only.

// A pipe holding the texture and then more bytes than its header allows:
// how much of it the program took. The pipe is made large enough to hold
// everything, so no writer has to wait.
std::size_t bytesTaken(const std::vector<std::string>& args, const Bytes& texture, std::size_t extra, int* exitCode,
                       std::string* err = nullptr) {
    int fds[2];
    if (::pipe(fds) != 0) return 0;
    const std::size_t total = texture.size() + extra;
    ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(total + 4096));
    Bytes all = texture;
    all.resize(total, 0);
    EXPECT_EQ(::write(fds[1], all.data(), all.size()), static_cast<ssize_t>(all.size()));
    ::close(fds[1]);
    test::TempDir dir;
    test::RunLimits plumbing;
    plumbing.stdinFd = fds[0];
    const auto r = test::runProgram(QM5_CMD_BIN, args, dir.path(), "", plumbing);
    *exitCode = r.exitCode;
    if (err != nullptr) *err = r.err;
    std::size_t left = 0;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) left += static_cast<std::size_t>(got);
    ::close(fds[0]);
    return total - left;
}

TEST(BoundedDecoding, TexturesAreReadNoFurtherThanTheirHeaderAllows) {
    int status = -1;
    // Plain: the header tells the exact size.
    const Bytes plain = TextureBytes(2, 0, 3, 2).u32(1).u32(2).hex("00 01 01 00 01 01").bytes;
    EXPECT_EQ(bytesTaken({"decode", "/dev/stdin", "-o", "out.bmp"}, plain, 100000, &status), plain.size());
    EXPECT_EQ(status, 0);
    // The bomb without limits: a record is at most 3 + 65535 bytes.
    const std::size_t bound = 20 + 4 + 3 + 65535;
    EXPECT_LE(bytesTaken({"info", "/dev/stdin"}, bomb(), 200000, &status), bound + 1) << "one byte to see what follows";
    EXPECT_EQ(status, 1);
    test::TempDir dir;
    test::writeFile(dir / "one.bmp", test::bmp24(1, 1, {0x102030}));
    EXPECT_LE(bytesTaken({"verify", (dir / "one.bmp").string(), "/dev/stdin", "--no-limits"}, bomb(), 200000, &status),
              bound);
    EXPECT_EQ(status, 1);

    // An endless device: every reader stops after the 20 bytes that say it
    // is no texture.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"info", "/dev/zero"},
                                                 {"decode", "/dev/zero", "-o", "zero.bmp"},
                                                 {"verify", (dir / "one.bmp").string(), "/dev/zero"}}) {
        const auto r = test::runProgram(QM5_CMD_BIN, args, dir.path());
        EXPECT_EQ(r.exitCode, 1) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("/dev/zero: not a Qm5 texture"), std::string::npos) << r.err;
    }
}

// Pictures on a stream as well: read as far as their headers say they
// reach (the system's read-ahead aside), and a header followed by zeros is
// refused for what its header is, not for the size of what follows.
TEST(BoundedDecoding, PicturesAreReadNoFurtherThanTheirHeadersAllow) {
    constexpr std::size_t kEndless = 512 << 10;
    constexpr std::size_t kReadAhead = 64 << 10;
    const Bytes bmp = test::bmp24(8, 8, std::vector<std::uint32_t>(64, 0x102030));
    // PCX: an 8 x 8 picture, each line one run, then the palette at the end.
    Bytes pcx(128, 0);
    pcx[0] = 0x0A, pcx[1] = 5, pcx[2] = 1, pcx[3] = 8, pcx[8] = 7, pcx[10] = 7, pcx[65] = 1, pcx[66] = 8;
    for (int y = 0; y < 8; ++y) pcx.insert(pcx.end(), {0xC8, 0x01});
    pcx.push_back(0x0C);
    pcx.resize(pcx.size() + 768, 0x40);
    const struct {
        const char* what;
        Bytes start;
        int exitCode;
        std::string err;
    } cases[] = {
        {"a whole BMP", bmp, 0, ""},
        {"a BMP signature", {'B', 'M'}, 1, "qm5: standard input: its headers are invalid\n"},
        {"a PNG signature", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, 1,
         pngSupported() ? "qm5: standard input: invalid PNG: invalid IHDR chunk size\n"
                        : "qm5: standard input: PNG (this qm5 was built without libspng) is not read\n"},
        {"a PCX, whose palette is its last bytes", pcx, 1,
         "qm5: standard input: goes on past where its headers say the picture ends, so the palette at its end "
         "cannot be found\n"},
    };
    for (const auto& c : cases) {
        int status = -1;
        std::string err;
        EXPECT_LE(bytesTaken({"encode", "-", "-o", "z.qm5", "-q"}, c.start, kEndless, &status, &err),
                  c.start.size() + 2 * kReadAhead)
            << c.what;
        EXPECT_EQ(status, c.exitCode) << c.what;
        EXPECT_EQ(err, c.err) << c.what;
    }
}

#endif  // QM5_TEST_POSIX

}  // namespace
}  // namespace qm5
