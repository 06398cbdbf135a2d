// Runs the built qm5_test in a temporary directory.
#include <gtest/gtest.h>

#include <functional>

#include "tests/test_support.hpp"
#include "tests/texture_builder.hpp"

namespace qm5 {
namespace {

using test::Bytes;

const char* kBanner =
    "                    ____Qm5Tester v1.0____ \n"
    "                      Supports .bmp .pcx   \n"
    "                      and true-color bmp    \n\n\n";

using test::workedTexture;

TEST(TesterProgram, DecodesBothFixedNames) {
    test::TempDir dir;
    Bytes compressed = workedTexture();
    Bytes plain = compressed;
    plain.resize(28);
    plain[12] = 0;  // compression flag 0
    for (std::uint8_t i : {0, 1, 1, 0}) plain.push_back(i);
    test::writeFile(dir / "pcx_uncompr.qm5", plain);
    test::writeFile(dir / "pcx_compr.qm5", compressed);
    test::writeText(dir / "qm5.bmp", "an older file");

    const auto r = test::runProgram(QM5_TEST_BIN, {}, dir.path());
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.exitCode, 0);
    const Bytes want = test::bmp24(2, 2, {0xFF, 0xFF00, 0xFF00, 0xFF});
    ASSERT_EQ(want.size(), 54u + 2 * 8);
    EXPECT_EQ(test::hex(test::readFile(dir / "qm5.bmp")), test::hex(want));
    EXPECT_EQ(test::hex(test::readFile(dir / "qm5_compr.bmp")), test::hex(want));
}

TEST(TesterProgram, WritesNothingWithoutTextures) {
    test::TempDir dir;
    const auto r = test::runProgram(QM5_TEST_BIN, {}, dir.path());
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(TesterProgram, EachTextureStandsAlone) {
    test::TempDir dir;
    test::writeFile(dir / "pcx_compr.qm5", workedTexture());
    test::writeText(dir / "pcx_uncompr.qm5", "not a texture");
    const auto r = test::runProgram(QM5_TEST_BIN, {}, dir.path());
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.exitCode, 1) << "a present texture that cannot be decoded is a failure";
    EXPECT_FALSE(test::fileExists(dir / "qm5.bmp"));
    EXPECT_TRUE(test::fileExists(dir / "qm5_compr.bmp"));
}

// Only a missing texture is skipped: one that is there but cannot be read,
// holds no picture or passes a limit, fails with its name and the reason on
// the error stream, and the output stays the banner.
TEST(TesterProgram, PresentTexturesThatCannotBeDecodedFail) {
    namespace fs = std::filesystem;
    const struct {
        const char* what;
        std::function<void(const fs::path&)> make;
        const char* err;
    } cases[] = {
#if defined(QM5_TEST_POSIX)
        // Windows opens no directory (its reason differs) and has no /dev/zero.
        {"a directory", [](const fs::path& p) { fs::create_directory(p); },
         "qm5_test: pcx_compr.qm5: cannot be read (Is a directory)\n"},
        {"an endless device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
         "qm5_test: pcx_compr.qm5: not a Qm5 texture (the file does not start with q, m, 5)\n"},
#endif
        {"width 0", [](const fs::path& p) { test::writeFile(p, test::TextureBytes(1, 1, 0, 5).u32(1).hex("80 00 00").bytes); },
         "qm5_test: pcx_compr.qm5: the picture size 0 x 5 holds no pixels\n"},
        {"no colours", [](const fs::path& p) { test::writeFile(p, test::TextureBytes(0, 1, 2, 2).bytes); },
         "qm5_test: pcx_compr.qm5: the palette is empty (colour count 0)\n"},
        // 27 bytes that decode to 4 GiB: the qm5 command's default limits hold.
        {"a picture above the pixel limit",
         [](const fs::path& p) { test::writeFile(p, test::TextureBytes(1, 1, 32767, 32767).u32(1).hex("80 00 00").bytes); },
         "qm5_test: pcx_compr.qm5: 32767 x 32767 pixels exceed the limit of 67108864\n"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        c.make(dir / "pcx_compr.qm5");
        const auto r = test::runProgram(QM5_TEST_BIN, {}, dir.path());
        EXPECT_EQ(r.out, kBanner) << c.what;
        EXPECT_EQ(r.exitCode, 1) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_FALSE(test::fileExists(dir / "qm5_compr.bmp")) << c.what;
    }
}

}  // namespace
}  // namespace qm5
