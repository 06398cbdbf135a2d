// Textures that ask for more than their bytes justify: a picture of 2^30
// pixels in 27 bytes, records whose cubes cover the picture thousands of
// times, inputs that never end. Each is refused at once under the qm5
// command's limits, read no further than its header allows without them,
// and painted fast by a painter that gives the pixels of the simple one.
#include <gtest/gtest.h>

#include <random>

#include "formats/png_codec.hpp"
#include "texture/record_painter.hpp"
#include "texture/texture_decoder.hpp"
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

// The format's own painting, position by position: records from the last
// index down, a pixel taking the colour of every record that covers it.
std::vector<std::uint32_t> simplePaint(const Bytes& file) {
    const LayoutCheck check = checkTextureLayout(span(file));
    const TextureLayout& layout = check.layout;
    std::vector<std::uint32_t> pixels(layout.pixelCount, 0);
    std::vector<std::pair<RecordHead, std::span<const std::uint8_t>>> records;
    ByteReader in(span(file));
    in.seek(layout.imagesOffset);
    for (std::int32_t c = 0; c < layout.colourCount; ++c) {
        const RecordHead head = RecordHead::from(*in.readSpan(3));
        records.emplace_back(head, *in.readSpan(head.dataLength()));
    }
    for (std::size_t c = records.size(); c-- > 0;) {
        const auto& [head, data] = records[c];
        if (head.isEmpty()) continue;
        const int b = head.bitCount();
        const std::uint64_t n = head.isWhole() ? 0 : cubeCountOf(data.size(), b);
        for (std::uint64_t p = 0; p < pixels.size(); ++p) {
            bool covered = head.isWhole();
            for (std::uint64_t k = 0; k < n && !covered; ++k) {
                const CubeMasks cube = readCube(data, b, k);
                covered = (cube.zero != 0 || cube.one != 0) && p < (std::uint64_t{1} << b) && cube.covers(static_cast<std::uint32_t>(p));
            }
            if (covered) pixels[p] = layout.colour(c);
        }
    }
    return pixels;
}

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
            EXPECT_EQ(std::vector<std::uint32_t>(got.pixels.begin(), got.pixels.end()), simplePaint(t.bytes))
                << w << " x " << h << ", texture " << test::hex(t.bytes);
        }
    }
}

// A record as long as a record can be, of cubes that each fix one digit:
// on 2048 x 2048 pixels, 11915 cubes in 65 KB that ask the simple painter
// for 2.5 x 10^10 pixel writes; here on 256 x 256, 16383 cubes. Its
// painting steps are counted before painting (a whole record: one per word
// of 64 positions; a cube fixing a digit above the word's: half of them).
TEST(RecordPainter, WorkIsCountedBeforePaintingAndLimited) {
    constexpr int b = 16;
    constexpr std::uint64_t words = (std::uint64_t{1} << b) / 64;
    TextureBytes t(2, 1, 256, 256);
    t.u32(0x0000FF).u32(0x00FF00);
    const std::uint64_t n = cubeCountOf(65535, b);
    Bytes data(65535, 0);
    CubeStreamWriter out({data.data(), data.size()}, b);
    std::uint64_t steps = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint32_t digit = std::uint32_t{1} << (k % b);
        out.put(k % 2 == 0 ? CubeMasks{digit, 0} : CubeMasks{0, digit});
        steps += k % b < 6 ? words : words / 2;
    }
    t.hex("FF FF 10").raw(data).hex("80 00 00");
    steps += words;

    TextureDecoder decoder;
    DecodeOptions options;
    ASSERT_EQ(decoder.check(span(t.bytes), 0, 1, options).kind, TextureProblemKind::none);
    EXPECT_EQ(decoder.paintWork(0), steps);
    Picture picture;
    ASSERT_EQ(decoder.decode(0, picture).kind, TextureProblemKind::none);
    // Even digits are fixed to 0, odd ones to 1: only 0x5555 escapes them all.
    EXPECT_EQ(picture.pixels[0], 0x0000FFu);
    EXPECT_EQ(picture.pixels[0x5555], 0x00FF00u);
    EXPECT_EQ(picture.pixels[0xFFFF], 0x0000FFu);

    options.maxPaintWork = (steps - 1) / picture.pixels.size();  // just below what it takes
    const TextureProblem refused = decoder.check(span(t.bytes), 0, 1, options);
    EXPECT_EQ(refused.kind, TextureProblemKind::tooMuchWork);
    EXPECT_EQ(refused.image, 0);
    EXPECT_EQ(paintSteps({0, 1u << 15}, b, 1), 0u) << "a cube past the picture takes no step";
    EXPECT_EQ(paintSteps({}, 3, 1), 1u) << "nor more than the picture's words";
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
