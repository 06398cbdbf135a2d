// The pictures only the qm5 command reads (formats/): fixtures written by
// independent encoders (tests/fixtures/make_format_fixtures.sh), refusals,
// and hostile headers.
#include <gtest/gtest.h>

#include <map>

#include "formats/bmp_variants.hpp"
#include "formats/picture_formats.hpp"
#include "formats/png_codec.hpp"
#include "formats/tga_reader.hpp"
#include "picture/picture_loader.hpp"
#include "texture/texture_decoder.hpp"
#include "tests/picture_fixtures.hpp"
#include "tests/test_support.hpp"

namespace qm5 {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

fs::path formatsDir() { return test::sourcePath("tests/fixtures/formats"); }

// Fixtures whose names start with prefix, without the expected decodes and
// reasons; PNG files only where this build reads PNG.
std::vector<fs::path> fixtures(const std::string& prefix) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(formatsDir())) {
        const std::string name = e.path().filename().string();
        const std::string ext = e.path().extension().string();
        if (name.rfind(prefix, 0) != 0 || ext == ".ppm" || ext == ".txt") continue;
        if (ext == ".png" && !pngSupported()) continue;
        out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

PictureError readPicture(const Bytes& file, Picture& out, PictureDetail* detail = nullptr, bool ignoreAlpha = false) {
    ReadOptions options;
    options.ignoreAlpha = ignoreAlpha;
    FormatsPictureReader reader(nullptr, options);
    const std::span<const std::uint8_t> bytes(file);
    const PictureFormat format = reader.classify(bytes.first(std::min(bytes.size(), kPictureHeadBytes)));
    if (format == FormatUnknown) return PictureError::notPicture;
    return reader.read(bytes, format, out, detail);
}

test::RunResult run(const char* program, const test::TempDir& dir, const std::vector<std::string>& args) {
    return test::runProgram(program, args, dir.path());
}

const char* kSets[] = {"colour", "two", "grey"};

TEST(FormatFixtures, EveryFileOfASetReadsAsItsTrueColours) {
    for (const char* set : kSets) {
        const auto want = test::readPpm(formatsDir() / (std::string(set) + ".ppm"));
        ASSERT_TRUE(want) << set;
        const auto files = fixtures(std::string(set) + "__");
        ASSERT_GE(files.size(), 3u) << set;  // fewer without PNG
        for (const fs::path& f : files) {
            Picture p;
            PictureDetail detail;
            ASSERT_EQ(readPicture(test::readFile(f), p, &detail), PictureError::none)
                << f.filename() << ": " << describe(readPicture(test::readFile(f), p)) << " " << detail.text;
            EXPECT_EQ(test::compare(p, *want), "") << f.filename();
        }
    }
    // Lossy encodes: the colours ImageMagick decodes.
    for (const fs::path& f : fixtures("variant_")) {
        const auto want = test::readPpm(test::expectedDecode(f));
        ASSERT_TRUE(want) << f.filename();
        Picture p;
        ASSERT_EQ(readPicture(test::readFile(f), p), PictureError::none) << f.filename();
        EXPECT_EQ(test::compare(p, *want), "") << f.filename();
    }
}

// One picture in every format and variant gives one texture, byte for byte,
// plain and compressed, in qm5 and (for what it reads) qm5_maker, which
// refuses the rest; the texture decodes to the picture's true colours.
TEST(FormatFixtures, SamePictureGivesOneTextureInBothPrograms) {
    for (const char* set : kSets) {
        SCOPED_TRACE(set);
        const auto want = test::readPpm(formatsDir() / (std::string(set) + ".ppm"));
        ASSERT_TRUE(want);
        std::map<bool, Bytes> first;  // by compression
        for (const fs::path& f : fixtures(std::string(set) + "__")) {
            SCOPED_TRACE(f.filename().string());
            test::TempDir dir;
            const std::string input = "in" + f.extension().string();
            fs::copy_file(f, dir / input);
            PictureLoader loader(nullptr);
            Picture classic;
            const bool makerReads = loader.loadAny(test::readFile(f), classic) == PictureError::none;
            for (bool compress : {false, true}) {
                std::vector<std::string> args = {"encode", "-q", input};
                if (compress) args.push_back("-c");
                const auto r = run(QM5_CMD_BIN, dir, args);
                ASSERT_EQ(r.exitCode, 0) << r.err;
                const Bytes texture = test::readFile(dir / "in.qm5");
                if (first.count(compress) == 0) first[compress] = texture;
                EXPECT_EQ(texture, first[compress]) << (compress ? "compressed" : "plain");

                const auto v = run(QM5_CMD_BIN, dir, {"verify", "-q", input, "in.qm5"});
                EXPECT_EQ(v.exitCode, 0) << v.err;
                Picture decoded;
                ASSERT_EQ(decodeTextureImage(std::span<const std::uint8_t>(texture), 0, decoded).kind, TextureProblemKind::none);
                EXPECT_EQ(test::compare(decoded, *want), "");

                fs::remove(dir / "in.qm5");
                std::vector<std::string> makerArgs = {input};
                if (compress) makerArgs.push_back("c");
                const auto m = run(QM5_MAKER_BIN, dir, makerArgs);
                EXPECT_EQ(m.exitCode, makerReads ? 0 : 1) << m.out;
                if (makerReads) {
                    EXPECT_EQ(test::readFile(dir / "in.qm5"), first[compress]) << "qm5_maker";
                }
            }
        }
    }
}

TEST(FormatFixtures, RefusalsNameTheReason) {
    const auto files = fixtures("refuse_");
    ASSERT_GE(files.size(), 3u);
    for (const fs::path& f : files) {
        SCOPED_TRACE(f.filename().string());
        const Bytes reason = test::readFile(f.string() + ".txt");
        const std::string name = f.filename().string();
        test::TempDir dir;
        fs::copy_file(f, dir / name);
        const auto r = run(QM5_CMD_BIN, dir, {"encode", name});
        EXPECT_EQ(r.exitCode, 1);
        const std::string want = "qm5: " + name + ": " + std::string(reason.begin(), reason.end() - 1);
        EXPECT_EQ(r.err.rfind(want, 0), 0u) << "got " << r.err << "want " << want;
        // Transparency is dropped on request; the colours stay.
        const bool transparent = want.find("not fully opaque") != std::string::npos;
        EXPECT_EQ(r.err.find("--ignore-alpha") != std::string::npos, transparent) << r.err;
        if (transparent) {
            EXPECT_EQ(run(QM5_CMD_BIN, dir, {"encode", "-q", "--ignore-alpha", name, "-o", "t.qm5"}).exitCode, 0);
            EXPECT_EQ(run(QM5_CMD_BIN, dir, {"verify", "-q", "--ignore-alpha", name, "t.qm5"}).exitCode, 0);
        }
    }
}

// Every good file of the BMP Suite reads in qm5 as ImageMagick decodes it;
// the questionable and bad ones read or are refused cleanly.
TEST(FormatFixtures, BmpSuiteReadsAsAnIndependentDecode) {
    const fs::path suite = test::bmpSuite();
    if (!fs::is_directory(suite)) GTEST_SKIP() << "BMP Suite not found at " << suite;
    const auto expected = test::suiteExpectations("tests/fixtures/formats/bmpsuite_expected.txt");
    ASSERT_GE(expected.size(), 20u);
    std::size_t read = 0;
    for (const char* dir : {"g", "q", "b"}) {
        for (const auto& entry : fs::directory_iterator(suite / dir)) {
            const std::string name = std::string(dir) + "/" + entry.path().filename().string();
            Picture p;
            PictureDetail detail;
            const PictureError e = readPicture(test::readFile(entry.path()), p, &detail, true);
            const auto want = expected.find(name);
            if (want == expected.end()) {
                EXPECT_TRUE(e == PictureError::none || (p.pixels.empty() && p.width == 0)) << name;
                continue;
            }
            ASSERT_EQ(e, PictureError::none) << name << ": " << describe(e) << " " << detail.text;
            ++read;
            EXPECT_EQ(p.width, want->second.width) << name;
            EXPECT_EQ(p.height, want->second.height) << name;
            EXPECT_EQ(test::fnvOfRgb(p), want->second.hash) << name;
        }
    }
    EXPECT_EQ(read, expected.size());
}

// ---- Hand-made files: what the fixtures do not show ----

void put(Bytes& b, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A BMP with a 40-byte header, the given palette entries (grey k * 0x11)
// or masks, and pixel data.
Bytes bmp(std::int32_t w, std::int32_t h, int bits, int compression, int entries, const Bytes& data,
          const std::vector<std::uint32_t>& masks = {}) {
    Bytes b(54, 0);
    b[0] = 'B', b[1] = 'M';
    put(b, 14, 40, 4), put(b, 18, static_cast<std::uint32_t>(w), 4), put(b, 22, static_cast<std::uint32_t>(h), 4);
    put(b, 26, 1, 2), put(b, 28, static_cast<std::uint32_t>(bits), 2), put(b, 30, static_cast<std::uint32_t>(compression), 4);
    put(b, 46, static_cast<std::uint32_t>(entries), 4);
    for (std::uint32_t m : masks) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(m >> (8 * i)));
    }
    for (int k = 0; k < 4 * entries; ++k) b.push_back(k % 4 == 3 ? 0 : static_cast<std::uint8_t>(k / 4 * 0x11));
    put(b, 10, static_cast<std::uint32_t>(b.size()), 4);
    for (std::uint8_t v : data) b.push_back(v);
    return b;
}

// A TGA of the given type, depth, descriptor and colour map (first entry,
// 24-bit entries of grey k * 0x11), then data.
Bytes tga(int type, int w, int h, int depth, int descriptor, const Bytes& data, int mapFirst = 0, int mapLength = 0) {
    Bytes b(18, 0);
    b[1] = mapLength > 0 ? 1 : 0;
    b[2] = static_cast<std::uint8_t>(type);
    put(b, 3, static_cast<std::uint32_t>(mapFirst), 2), put(b, 5, static_cast<std::uint32_t>(mapLength), 2);
    b[7] = mapLength > 0 ? 24 : 0;
    put(b, 12, static_cast<std::uint32_t>(w), 2), put(b, 14, static_cast<std::uint32_t>(h), 2);
    b[16] = static_cast<std::uint8_t>(depth), b[17] = static_cast<std::uint8_t>(descriptor);
    // (insert trips a false -Warray-bounds in g++ 12)
    for (int k = 0; k < 3 * mapLength; ++k) b.push_back(static_cast<std::uint8_t>(k / 3 * 0x11));
    for (std::uint8_t v : data) b.push_back(v);
    return b;
}

std::string greys(const Picture& p) {
    std::string s;
    for (std::uint32_t v : p.pixels) s += (s.empty() ? "" : " ") + std::to_string((v & 0xFF) / 0x11);
    return s;
}

TEST(FormatReaders, IndicesRunsAndOrigins) {
    const struct {
        const char* what;
        Bytes file;
        const char* want;  // grey levels, top row first
    } cases[] = {
        // RLE4: 5 nibbles in 3 bytes and a pad byte; a run alternates nibbles.
        {"RLE4 odd absolute run", bmp(5, 2, 4, 2, 16, {0, 5, 0x12, 0x34, 0x50, 0, 0, 0, 4, 0x9A, 0, 1}),
         "9 10 9 10 0 1 2 3 4 5"},
        {"1-bit rows, top-down", bmp(3, -2, 1, 0, 2, {0xA0, 0, 0, 0, 0x40, 0, 0, 0}), "1 0 1 0 1 0"},
        {"TGA map from entry 3, bottom-up", tga(1, 2, 2, 8, 0, {3, 4, 5, 6}, 3, 4), "2 3 0 1"},
        {"TGA run packet crossing a row, top-down", tga(11, 2, 2, 8, 0x20, {0x82, 0x22, 0x00, 0x55}), "2 2 2 5"},
        {"TGA rows right to left", tga(3, 3, 1, 8, 0x10, {0x11, 0x22, 0x33}), "3 2 1"},
    };
    for (const auto& c : cases) {
        Picture p;
        PictureDetail detail;
        ASSERT_EQ(readPicture(c.file, p, &detail), PictureError::none) << c.what << ": " << detail.text;
        EXPECT_EQ(greys(p), c.want) << c.what;
    }
}

// Small files announcing large pictures are refused before the pictures are
// allocated; corrupt data and variants not read are refused with a reason.
TEST(FormatReaders, HostileFilesAreRefusedWithTheirReason) {
    std::vector<std::tuple<const char*, Bytes, PictureError, std::string>> cases = {
        {"TGA 32767 x 32767 RLE in 30 bytes", tga(10, 32767, 32767, 24, 0, Bytes(12, 0xFF)), PictureError::truncated, ""},
        {"TGA 32767 x 32767 stored", tga(2, 32767, 32767, 24, 0, Bytes(12, 0)), PictureError::truncated, ""},
        {"TGA run short of the picture", tga(10, 4, 4, 24, 0, {0x83, 1, 2, 3}), PictureError::truncated, ""},
        {"TGA index outside the map", tga(1, 2, 1, 8, 0, {0, 9}, 0, 4), PictureError::malformed,
         "a pixel index outside the colour map"},
        {"TGA 16-bit indices", tga(1, 1, 1, 16, 0, {0, 0}, 0, 4), PictureError::unsupported, "16-bit colour-mapped TGA"},
        {"TGA 40000 wide", tga(3, 40000, 1, 8, 0, Bytes(40000, 0)), PictureError::tooLarge, ""},
        {"1-bit BMP 32767 x 32767", bmp(32767, 32767, 1, 0, 2, Bytes(64, 0)), PictureError::truncated, ""},
        {"RLE4 BMP 32767 x 32767", bmp(32767, 32767, 4, 2, 16, {0, 1}), PictureError::truncated, ""},
        {"top-down RLE4", bmp(2, -2, 4, 2, 16, {0, 1}), PictureError::malformed, ""},
        {"mask with a gap", bmp(1, 1, 16, 3, 0, {0, 0, 0, 0}, {0x7C01, 0x03E0, 0x001E}), PictureError::malformed, ""},
        {"JPEG inside a BMP", bmp(1, 1, 24, 4, 0, {0xFF, 0xD8}), PictureError::unsupported, "JPEG-compressed BMP"},
        {"32-bit BMP with a transparent pixel",
         bmp(1, 1, 32, 6, 0, {1, 2, 3, 0x80}, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}), PictureError::transparent, ""},
    };
    if (pngSupported()) {
        // From a valid PNG: sides raised in its header (CRC fixed), its CRC broken.
        Bytes png = test::readFile(formatsDir() / "colour__im_rgb.png");
        const auto withSides = [&](std::uint32_t w, std::uint32_t h) {
            Bytes b = png;
            for (int i = 0; i < 4; ++i) b[16 + i] = static_cast<std::uint8_t>(w >> (24 - 8 * i));
            for (int i = 0; i < 4; ++i) b[20 + i] = static_cast<std::uint8_t>(h >> (24 - 8 * i));
            std::uint32_t crc = 0xFFFFFFFF;
            for (std::size_t i = 12; i < 29; ++i) {
                crc ^= b[i];
                for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
            }
            crc ^= 0xFFFFFFFF;
            for (int i = 0; i < 4; ++i) b[29 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
            return b;
        };
        Bytes badCrc = png;
        badCrc[30] ^= 0x01;
        cases.push_back({"PNG 32767 x 32767 from a few hundred bytes", withSides(32767, 32767), PictureError::truncated, ""});
        cases.push_back({"PNG 40000 wide", withSides(40000, 7), PictureError::tooLarge, ""});
        cases.push_back({"PNG header CRC broken", badCrc, PictureError::malformed, "invalid PNG: "});
        Bytes cut = png;
        cut.resize(png.size() - 30);
        cases.push_back({"PNG cut inside its data", cut, PictureError::truncated, ""});
        // The file is read to IEND: the CRCs of the last IDAT and of IEND
        // count too (the fixture ends with them), and IEND itself.
        const auto flipped = [&](std::size_t at) {
            Bytes b = png;
            b[at] ^= 0x01;
            return b;
        };
        cases.push_back({"PNG last IDAT CRC broken", flipped(png.size() - 16), PictureError::malformed, "invalid PNG: "});
        cases.push_back({"PNG IEND CRC broken", flipped(png.size() - 1), PictureError::malformed, "invalid PNG: "});
        cut = png;
        cut.resize(png.size() - 12);
        cases.push_back({"PNG without IEND", cut, PictureError::truncated, ""});
        // An ancillary chunk with a wrong CRC is dropped, as libpng does:
        // gAMA, the second chunk (at 33, 4 bytes of data, its CRC at 45).
        Picture p;
        EXPECT_EQ(readPicture(flipped(45), p), PictureError::none);
    }
    for (const auto& [what, file, want, detail] : cases) {
        Picture p;
        PictureDetail why;
        EXPECT_EQ(readPicture(file, p, &why), want) << what << ": " << why.text;
        EXPECT_EQ(std::string(why.text).rfind(detail, 0), 0u) << what << ": got " << why.text << ", want " << detail;
        EXPECT_TRUE(p.pixels.empty() && p.width == 0) << what;
    }
}

}  // namespace
}  // namespace qm5
