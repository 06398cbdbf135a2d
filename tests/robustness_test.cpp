// Resource limits of the readers and the texture decoder: small files that
// announce huge pictures are refused in milliseconds without the memory
// their headers ask for; the bounds that make this so keep the densest
// legitimate encodings loading.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "picture/picture_loader.hpp"
#include "texture/texture_decoder.hpp"
#include "tests/test_support.hpp"
#include "tests/texture_builder.hpp"

#if defined(QM5_TEST_POSIX)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define QM5_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM5_TEST_ASAN 1
#endif
#endif

namespace qm5 {
namespace {

using test::Bytes;

using test::put16;
using test::put32;

// A BMP with a 40-byte information header, `colours` palette entries
// (entry k = k * 0x010101) and the given pixel data, padded with zeros to
// fileSize when that is larger.
Bytes bmp(std::int32_t w, std::int32_t h, int bits, int compression, std::uint32_t colours, const Bytes& data,
          std::size_t fileSize = 0) {
    const std::size_t offset = 54 + 4 * std::size_t{colours};
    Bytes b(std::max(offset + data.size(), fileSize), 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<std::uint32_t>(b.size()));
    put32(b, 10, static_cast<std::uint32_t>(offset));
    put32(b, 14, 40);
    put32(b, 18, static_cast<std::uint32_t>(w));
    put32(b, 22, static_cast<std::uint32_t>(h));
    put16(b, 26, 1);
    put16(b, 28, static_cast<std::uint32_t>(bits));
    put32(b, 30, static_cast<std::uint32_t>(compression));
    put32(b, 46, colours);
    for (std::uint32_t k = 0; k < colours; ++k) {
        for (std::size_t i = 0; i < 3; ++i) b[54 + 4 * k + i] = static_cast<std::uint8_t>(k + 1);
    }
    std::copy(data.begin(), data.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
    return b;
}

// A PCX of one plane, w x h with lines of w bytes rounded up to even (at
// most 32767), the given line data, and the palette block when asked.
Bytes pcx(std::uint32_t w, std::uint32_t h, const Bytes& data, bool paletteBlock, std::size_t fileSize = 0) {
    const std::size_t block = paletteBlock ? 769 : 0;
    Bytes b(std::max(128 + data.size() + block, fileSize), 0);
    b[0] = 0x0A;
    b[1] = 5;
    b[2] = 1;
    b[3] = 8;
    put16(b, 8, w - 1);
    put16(b, 10, h - 1);
    b[65] = 1;
    put16(b, 66, std::min((w + 1) & ~1u, 32767u));
    std::copy(data.begin(), data.end(), b.begin() + 128);
    if (paletteBlock) {
        const std::size_t at = b.size() - block;
        b[at] = 0x0C;
        for (std::size_t k = 0; k < 768; ++k) b[at + 1 + k] = static_cast<std::uint8_t>(k / 3);
    }
    return b;
}

// ---- Measuring a load in a child process ----
// POSIX only: the measure needs fork, resource limits and the peak resident
// size of one process; the loads it measures run the same code everywhere.
#if defined(QM5_TEST_POSIX)

struct Measured {
    int result = -1;           // the error code the load gave
    double seconds = 0;        // time of the load
    long rssGrowthKiB = 0;     // peak resident size during the load above that at its start
    bool childFailed = false;  // the child died or could not report
};

long peakRssKiB() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Runs load in a forked child, so that its peak resident size is its own
// and a runaway allocation cannot hurt the test process. Outside ASan builds
// the child's address space is also capped (current size + 256 MiB): a
// reader that allocated what a huge header asks for before refusing would
// then report outOfMemory instead of its own reason.
Measured measure(const std::function<int()>& load) {
    int fds[2];
    if (::pipe(fds) != 0) return {-1, 0, 0, true};
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
#ifndef QM5_TEST_ASAN
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            unsigned long pages = 0;
            if (std::fscanf(statm, "%lu", &pages) == 1) {
                const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
                                   (rlim_t{256} << 20);
                const rlimit limit{cap, cap};
                ::setrlimit(RLIMIT_AS, &limit);
            }
            std::fclose(statm);
        }
#endif
        Measured m;
        const long before = peakRssKiB();
        const auto start = std::chrono::steady_clock::now();
        m.result = load();
        m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        m.rssGrowthKiB = peakRssKiB() - before;
        const bool sent = ::write(fds[1], &m, sizeof m) == static_cast<ssize_t>(sizeof m);
        ::_exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    // The report fits the pipe's buffer: the child ends first (or is
    // killed at the deadline), then it is read.
    int status = 0;
    if (pid > 0) status = test::waitWithin(pid, "a picture load in a forked child");
    Measured m;
    m.childFailed = pid < 0 || ::read(fds[0], &m, sizeof m) != static_cast<ssize_t>(sizeof m);
    ::close(fds[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) m.childFailed = true;
    return m;
}

int loadBmp24(const Bytes& file) {
    PictureLoader loader(nullptr);
    Picture p;
    return static_cast<int>(loader.loadBmp24(std::span<const std::uint8_t>(file), p));
}
int loadBmp8(const Bytes& file) {
    PictureLoader loader(nullptr);
    Picture p;
    return static_cast<int>(loader.loadBmp8(std::span<const std::uint8_t>(file), p));
}
int loadPcx(const Bytes& file) {
    PictureLoader loader(nullptr);
    Picture p;
    return static_cast<int>(loader.loadPcx(std::span<const std::uint8_t>(file), p));
}
// Without the command's limits: the checks against the file bound it alone.
int decode(const Bytes& file) {
    Picture p;
    return static_cast<int>(decodeTextureImage(std::span<const std::uint8_t>(file), 0, p, DecodeOptions::unlimited()).kind);
}

constexpr std::int32_t kSide = 32767;
constexpr long kMaxGrowthKiB = 32 * 1024;

struct HugeCase {
    const char* what;
    Bytes file;
    std::function<int(const Bytes&)> load;
    int want;
};

TEST(ResourceLimits, SmallFilesAnnouncingHugePicturesAreRefusedFast) {
    const int truncated = static_cast<int>(PictureError::truncated);
    const Bytes endOfBitmap = {0, 1};
    test::TextureBytes compressed(40, 1, kSide, kSide);
    for (int k = 0; k < 40; ++k) compressed.u32(static_cast<std::uint32_t>(k));
    compressed.hex("80 00 00 00 00 00");
    const HugeCase cases[] = {
        {"24-bit BMP", bmp(kSide, kSide, 24, 0, 0, {}, 200), loadBmp24, truncated},
        {"8-bit BMP", bmp(kSide, kSide, 8, 0, 2, {}, 200), loadBmp8, truncated},
        {"RLE8 BMP ending at once", bmp(kSide, kSide, 8, 1, 2, endOfBitmap, 200), loadBmp8, truncated},
        {"RLE8 BMP of 200 bytes of runs", bmp(kSide, kSide, 8, 1, 2, Bytes(130, 0xFF)), loadBmp8, truncated},
        {"PCX without palette block", pcx(kSide, kSide, {0xFF, 7}, false, 200), loadPcx, truncated},
        {"PCX with palette block", pcx(kSide, kSide, {0xFF, 7}, true, 1000), loadPcx, truncated},
        {"plain texture", test::TextureBytes(1, 0, kSide, kSide).u32(0).raw(Bytes(176, 0)).bytes, decode,
         static_cast<int>(TextureProblemKind::imageTruncated)},
        {"compressed texture, 40 records in 6 bytes", compressed.bytes, decode,
         static_cast<int>(TextureProblemKind::recordTruncated)},
    };
    for (const HugeCase& c : cases) {
        ASSERT_LE(c.file.size(), 1000u) << c.what;
        const Measured m = measure([&] { return c.load(c.file); });
        ASSERT_FALSE(m.childFailed) << c.what << ": the loading child died";
        EXPECT_EQ(m.result, c.want) << c.what << ": got error " << m.result << ", want " << c.want;
        EXPECT_LT(m.seconds, 1.0) << c.what << ": got " << m.seconds << " s";
        EXPECT_LT(m.rssGrowthKiB, kMaxGrowthKiB) << c.what << ": resident size grew by " << m.rssGrowthKiB << " KiB";
    }
}

// The uncompressed readers compare the announced rows with the bytes the
// file has; here with sizes a 32-bit size_t cannot hold as a product.
TEST(ResourceLimits, AnnouncedPixelDataBeyondTheFileIsRefusedBeforeAllocating) {
    const int truncated = static_cast<int>(PictureError::truncated);
    const HugeCase cases[] = {
        // 32767 rows of 98304 bytes: 3 GiB announced, one row present.
        {"24-bit BMP, one row of 32767", bmp(kSide, kSide, 24, 0, 0, Bytes(98304, 1)), loadBmp24, truncated},
        {"8-bit BMP, one row of 32767", bmp(kSide, kSide, 8, 0, 1, Bytes(32768, 0)), loadBmp8, truncated},
        {"8-bit BMP, all rows but one byte", bmp(300, 200, 8, 0, 1, Bytes(300 * 200 - 1, 0)), loadBmp8, truncated},
        {"plain texture, one index short", test::TextureBytes(1, 0, 300, 200).u32(5).raw(Bytes(59999, 0)).bytes,
         decode, static_cast<int>(TextureProblemKind::imageTruncated)},
    };
    for (const HugeCase& c : cases) {
        const Measured m = measure([&] { return c.load(c.file); });
        ASSERT_FALSE(m.childFailed) << c.what;
        EXPECT_EQ(m.result, c.want) << c.what << ": got error " << m.result << ", want " << c.want;
        EXPECT_LT(m.rssGrowthKiB, kMaxGrowthKiB) << c.what << ": resident size grew by " << m.rssGrowthKiB << " KiB";
    }
}

#endif  // QM5_TEST_POSIX

// RLE8: beyond 65536 pixels a picture needs a stream byte per 256 pixels.
// Runs reach 255 pixels per 2 bytes, so a stream that codes every pixel
// always passes; one that leaves most of a large picture to skips does not.
TEST(ResourceLimits, Rle8StreamMustBeLongEnoughForLargePictures) {
    PictureLoader loader(nullptr);
    Picture p;
    auto load = [&](const Bytes& file) { return loader.loadBmp8(std::span<const std::uint8_t>(file), p); };

    // 1024 x 1024 in the densest runs: four of 255 and one of 4 per row.
    Bytes dense;
    for (int y = 0; y < 1024; ++y) {
        for (int i = 0; i < 4; ++i) dense.insert(dense.end(), {0xFF, 1});
        dense.insert(dense.end(), {4, 1, 0, 0});
    }
    dense.insert(dense.end(), {0, 1});
    ASSERT_EQ(load(bmp(1024, 1024, 8, 1, 2, dense)), PictureError::none);
    EXPECT_EQ(p.pixels[0], 0x020202u) << "got " << std::hex << p.pixels[0];
    EXPECT_EQ(p.pixels[1024 * 1024 - 1], 0x020202u);

    // The same picture left to one delta per 255 rows and an end of bitmap.
    Bytes skips = {0, 2, 0, 255, 0, 2, 0, 255, 0, 2, 0, 255, 0, 2, 0, 255, 1, 1, 0, 1};
    EXPECT_EQ(load(bmp(1024, 1024, 8, 1, 2, skips)), PictureError::truncated);
    EXPECT_TRUE(p.pixels.empty());
    // Up to 65536 pixels the stream may be as short as it likes.
    ASSERT_EQ(load(bmp(256, 256, 8, 1, 2, {0, 1})), PictureError::none);
    EXPECT_EQ(p.pixels[256 * 256 - 1], 0x010101u) << "unreached pixels take entry 0";
    EXPECT_EQ(load(bmp(257, 256, 8, 1, 2, {0, 1})), PictureError::truncated);
    // Exactly one stream byte per 256 pixels passes.
    Bytes padded = {0, 1};
    padded.resize(1024 * 1024 / 256, 0);
    EXPECT_EQ(load(bmp(1024, 1024, 8, 1, 2, padded)), PictureError::none);
    padded.pop_back();
    EXPECT_EQ(load(bmp(1024, 1024, 8, 1, 2, padded)), PictureError::truncated);
}

// PCX: data that cannot fill the lines even at 63 bytes per code pair are
// refused before anything is decoded; the densest real coding loads.
TEST(ResourceLimits, PcxDataMustBeAbleToFillTheLines) {
    std::FILE* messages = std::tmpfile();
    ASSERT_NE(messages, nullptr);
    PictureLoader loader(messages);
    Picture p;
    auto load = [&](const Bytes& file) { return loader.loadPcx(std::span<const std::uint8_t>(file), p); };

    // 126 x 100: each line is two runs of 63, 4 bytes.
    Bytes dense;
    for (int y = 0; y < 100; ++y) dense.insert(dense.end(), {0xFF, 9, 0xFF, 9});
    ASSERT_EQ(load(pcx(126, 100, dense, true)), PictureError::none);
    EXPECT_EQ(p.pixels[126 * 100 - 1], 9u | 9u << 8 | 9u << 16);
    EXPECT_EQ(std::ftell(messages), 0L) << "no scan-line message for complete data";

    // 400 data bytes decode to at most 12600 bytes: 12800 lines' worth is
    // still accepted (the data may end early), 12802 is not.
    EXPECT_EQ(load(pcx(128, 100, Bytes(400, 0), true)), PictureError::none);
    const long printed = std::ftell(messages);
    EXPECT_EQ(load(pcx(2, 6401, Bytes(400, 0), true)), PictureError::truncated);
    EXPECT_TRUE(p.pixels.empty());
    EXPECT_EQ(std::ftell(messages), printed) << "a refused file prints no scan-line message";
    std::fclose(messages);
}

// Lists that no texture, or no memory bound, can hold: refused with a
// clear error and nothing written. The memory bound is known after the
// first picture and refuses the list before reading the others (here they
// do not even exist).
TEST(ResourceLimits, ListsBeyondWhatATextureOrTheMemoryBoundHolds) {
    test::TempDir dir;
    test::writeFile(dir / "px.bmp", test::bmp24(1, 1, {0x102030}));
    std::string many = "65536\n";
    for (int i = 0; i < 65536; ++i) many += "px.bmp 0\n";
    test::writeText(dir / "many.lst", many);
    test::writeFile(dir / "big.bmp", test::bmp24(1024, 1024, {}));
    std::string huge = "1025\nbig.bmp 0\n";
    for (int i = 1; i < 1025; ++i) huge += "missing" + std::to_string(i) + ".bmp 0\n";
    test::writeText(dir / "huge.lst", huge);
    const struct {
        const char* program;
        std::vector<std::string> args;
        std::string message;
    } runs[] = {
        {QM5_MAKER_BIN, {"many.lst"}, " ERROR : A texture holds at most 65535 images !\n"},
        {QM5_CMD_BIN, {"encode", "many.lst"}, "qm5: many.lst: 65536 pictures, more than the 65535 images a texture holds\n"},
        {QM5_MAKER_BIN, {"huge.lst"}, " ERROR : Pictures of the list need more than 4 GiB of memory !\n"},
        {QM5_CMD_BIN, {"encode", "huge.lst"},
         "qm5: huge.lst: 1025 pictures of 1024 x 1024 need 4100 MiB of memory, more than the limit of 4096 MiB\n"},
    };
    for (const auto& run : runs) {
        const auto r = test::runProgram(run.program, run.args, dir.path());
        EXPECT_EQ(r.exitCode, 1) << run.args[0];
        EXPECT_NE((r.out + r.err).find(run.message), std::string::npos) << "got\n" << r.out << r.err;
    }
    EXPECT_FALSE(test::fileExists(dir / "many.qm5"));
    EXPECT_FALSE(test::fileExists(dir / "huge.qm5"));
}

#if defined(QM5_TEST_POSIX)
// A record whose b is larger than the picture needs makes every cube span
// up to 2^30 positions; painting stops at the picture's end, so a 1 x 1
// picture decodes at once however wide its cubes are.
TEST(ResourceLimits, WideCubesOfASmallPictureDecodeFast) {
    test::TextureBytes t(1, 1, 1, 1);
    t.u32(0x123456);
    const std::uint32_t length = 30000;
    t.u8(static_cast<std::uint8_t>(length >> 8)).u8(static_cast<std::uint8_t>(length)).u8(30);
    // Cubes with the top position bit fixed to 1 and the rest free: none
    // touches position 0, and each spans 2^29 positions.
    Bytes data(length, 0);
    for (std::size_t k = 0; k + 1 < 4 * length / 30; ++k) {
        const std::size_t bit = k * 60 + 30;  // one mask, highest digit first
        data[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    t.raw(data);
    const Measured m = measure([&] { return decode(t.bytes); });
    ASSERT_FALSE(m.childFailed);
    EXPECT_EQ(m.result, static_cast<int>(TextureProblemKind::none));
    EXPECT_LT(m.seconds, 1.0) << "got " << m.seconds << " s";
}
#endif  // QM5_TEST_POSIX

}  // namespace
}  // namespace qm5
