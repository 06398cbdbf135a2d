// Runs the built qm5 command in temporary directories: exit codes, the
// split of results (standard output) and messages (standard error), the
// error texts, and textures byte for byte against those of qm5_maker.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <random>

#include "picture/picture_loader.hpp"
#include "texture/texture_info.hpp"
#include "tests/test_support.hpp"
#include "tests/texture_builder.hpp"

namespace qm5 {
namespace {

using test::Bytes;

Bytes bmp24(std::int32_t w, std::int32_t h, const std::vector<std::uint32_t>& pixels) {
    Picture p;
    EXPECT_TRUE(p.allocate(w, h));
    for (std::size_t i = 0; i < pixels.size(); ++i) p.pixels[i] = pixels[i];
    HeapArray<std::uint8_t> out;
    EXPECT_TRUE(PictureLoader::encodeBmp24(p, out));
    return Bytes(out.begin(), out.end());
}

std::vector<std::uint32_t> randomPixels(std::size_t n, std::uint32_t colours, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> palette(colours);
    for (auto& c : palette) c = rng() & 0xFFFFFF;
    std::vector<std::uint32_t> out(n);
    for (auto& v : out) v = palette[rng() % colours];
    return out;
}

test::RunResult qm5(const test::TempDir& dir, const std::vector<std::string>& args) {
    return test::runProgram(QM5_CMD_BIN, args, dir.path());
}

// Three 8 x 8 pictures s0..s2.bmp and the list sky.lst naming them.
void writeSkyList(const test::TempDir& dir) {
    for (int i = 0; i < 3; ++i)
        test::writeFile(dir / ("s" + std::to_string(i) + ".bmp"),
                        bmp24(8, 8, randomPixels(64, 4, static_cast<std::uint32_t>(10 + i))));
    test::writeText(dir / "sky.lst", "3\ns0.bmp 0\ns1.bmp 0\ns2.bmp 7\n");
}

// The worked 2 x 2 texture: records 00 01 02 C3 and 80 00 00.
const Bytes kWorkedTexture = test::fromHex(
    "71 6D 35 00 64 00 02 00 01 00 01 00 01 00 02 00 02 00 00 00 FF 00 00 00 00 FF 00 00"
    " 00 01 02 C3 80 00 00");

TEST(CliProgram, HelpAndVersionGoToStandardOutput) {
    test::TempDir dir;
    auto r = qm5(dir, {"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    for (const char* word : {"Usage: qm5 COMMAND", "encode INPUT", "decode TEXTURE", "info TEXTURE",
                             "verify INPUT TEXTURE", "--version"})
        EXPECT_NE(r.out.find(word), std::string::npos) << "missing " << word << " in:\n" << r.out;

    r = qm5(dir, {"encode", "--help"});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* word : {"Usage: qm5 encode INPUT", "-c, --compress", "-o, --output FILE", "-j, --jobs N",
                             "-q, --quiet", "    --best", "    --auto"})
        EXPECT_NE(r.out.find(word), std::string::npos) << "missing " << word << " in:\n" << r.out;
    r = qm5(dir, {"decode", "x.qm5", "-h"});
    EXPECT_EQ(r.exitCode, 0) << "help wins over the operands";
    EXPECT_NE(r.out.find("--all"), std::string::npos) << r.out;

    r = qm5(dir, {"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "qm5 1.0\n");
}

TEST(CliProgram, UsageErrorsExitTwo) {
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"frob"}, "qm5: unknown command 'frob'\nTry 'qm5 --help'.\n"},
        {{"--frob"}, "qm5: unknown option '--frob'\nTry 'qm5 --help'.\n"},
        {{"encode"}, "qm5 encode: missing INPUT\nTry 'qm5 encode --help'.\n"},
        {{"encode", "a.bmp", "b.bmp"}, "qm5 encode: unexpected argument 'b.bmp'\nTry 'qm5 encode --help'.\n"},
        {{"encode", "--fast", "a.bmp"}, "qm5 encode: unknown option '--fast'\nTry 'qm5 encode --help'.\n"},
        {{"encode", "a.bmp", "-o"}, "qm5 encode: option '-o' needs a value (FILE)\nTry 'qm5 encode --help'.\n"},
        {{"encode", "-j", "0", "a.bmp"},
         "qm5 encode: --jobs needs a whole number from 1 to 1024, got '0'\nTry 'qm5 encode --help'.\n"},
        {{"encode", "--jobs=2x", "a.bmp"},
         "qm5 encode: --jobs needs a whole number from 1 to 1024, got '2x'\nTry 'qm5 encode --help'.\n"},
        {{"encode", "--compress=yes", "a.bmp"},
         "qm5 encode: option '--compress' takes no value\nTry 'qm5 encode --help'.\n"},
        {{"decode", "t.qm5", "--image", "1", "--all"},
         "qm5 decode: --image and --all exclude each other\nTry 'qm5 decode --help'.\n"},
        {{"decode", "t.qm5", "--image", "-1"},
         "qm5 decode: --image needs an image number from 0, got '-1'\nTry 'qm5 decode --help'.\n"},
        {{"verify", "a.bmp"}, "qm5 verify: missing TEXTURE\nTry 'qm5 verify --help'.\n"},
        {{"info", "-c", "t.qm5"}, "qm5 info: unknown option '-c'\nTry 'qm5 info --help'.\n"},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        const auto r = qm5(dir, c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, c.err);
    }
    const auto r = qm5(dir, {});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("Usage: qm5"), std::string::npos) << r.err;
}

TEST(CliEncode, WritesTheMakersBytes) {
    struct Input {
        std::string name;
        std::function<void(const test::TempDir&)> make;
    };
    const Input inputs[] = {
        {"pic.bmp", [](const test::TempDir& d) { test::writeFile(d / "pic.bmp", bmp24(12, 10, randomPixels(120, 5, 4))); }},
        {"sky.lst", writeSkyList},
    };
    for (const Input& input : inputs) {
        for (bool compress : {false, true}) {
            test::TempDir makerDir, cliDir;
            input.make(makerDir);
            input.make(cliDir);
            std::vector<std::string> makerArgs = {input.name};
            if (compress) makerArgs.push_back("c");
            ASSERT_EQ(test::runProgram(QM5_MAKER_BIN, makerArgs, makerDir.path()).exitCode, 0);
            const std::string texture = input.name.substr(0, input.name.find('.')) + ".qm5";
            const Bytes want = test::readFile(makerDir / texture);

            std::vector<std::string> args = {"encode", input.name};
            if (compress) args.push_back("-c");
            const auto r = qm5(cliDir, args);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.err, "") << "no progress when standard error is no terminal";
            EXPECT_EQ(r.out.rfind(texture + ": ", 0), 0u) << r.out;
            EXPECT_EQ(test::hex(test::readFile(cliDir / texture)), test::hex(want))
                << input.name << (compress ? " compressed" : " plain");

            if (compress) {
                // The thread count never changes the bytes.
                for (const char* jobs : {"1", "3"}) {
                    const auto j = qm5(cliDir, {"encode", "-cq", input.name, "-o", "j.qm5", "--jobs", jobs});
                    ASSERT_EQ(j.exitCode, 0) << j.err;
                    EXPECT_EQ(j.out, "") << "--quiet";
                    EXPECT_EQ(test::readFile(cliDir / "j.qm5"), want) << "--jobs " << jobs;
                }
            }
        }
    }
}

TEST(CliEncode, SummaryAndOutputNames) {
    test::TempDir dir;
    test::writeFile(dir / "wall.v2.bmp", bmp24(2, 2, {0xFF, 0xFF00, 0xFF00, 0xFF}));
    auto r = qm5(dir, {"encode", "--compress", "wall.v2.bmp"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "wall.v2.qm5: 1 image of 2 x 2, 2 colours, 1 mipmap level, compressed, 35 bytes\n");
    EXPECT_EQ(test::readFile(dir / "wall.v2.qm5"), kWorkedTexture);

    r = qm5(dir, {"encode", "wall.v2.bmp", "--output=out.tex"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "out.tex: 1 image of 2 x 2, 2 colours, 1 mipmap level, plain, 32 bytes\n");
    EXPECT_TRUE(test::fileExists(dir / "out.tex"));

    // The maker's rule: the last dot anywhere, even in a directory name.
    std::filesystem::create_directory(dir / "pics.d");
    test::writeFile(dir / "pics.d" / "wall", bmp24(2, 2, {1, 2, 3, 4}));
    r = qm5(dir, {"encode", "-q", "pics.d/wall"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(test::fileExists(dir / "pics.qm5"));
}

TEST(CliEncode, ErrorsNameTheFileAndTheReason) {
    test::TempDir dir;
    test::writeText(dir / "wall.bmp", "neither a picture nor a list");
    test::writeText(dir / "wall.qm5", "previous texture");
    auto r = qm5(dir, {"encode", "wall.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "wall.bmp: not a picture this program reads\n");
    EXPECT_EQ(test::readFile(dir / "wall.qm5"), test::fromHex("70 72 65 76 69 6F 75 73 20 74 65 78 74 75 72 65"))
        << "a failed run keeps the old texture";

    r = qm5(dir, {"encode", "nothing.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("nothing.bmp: cannot be opened (", 0), 0u) << r.err;

    test::writeText(dir / "empty.lst", "0\n");
    r = qm5(dir, {"encode", "empty.lst"});
    EXPECT_EQ(r.err, "empty.lst: the list names no pictures\n");

    test::writeText(dir / "pic.gif", "GIF89a and more");
    r = qm5(dir, {"encode", "pic.gif"});
    EXPECT_EQ(r.err, "pic.gif: a GIF picture, which this program does not read\n");

    test::writeText(dir / "cut.bmp", "BM but nothing else");
    r = qm5(dir, {"encode", "cut.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("cut.bmp: ", 0), 0u) << r.err;
    EXPECT_FALSE(test::fileExists(dir / "cut.qm5"));

    test::writeFile(dir / "a.bmp", bmp24(4, 8, randomPixels(32, 3, 1)));
    test::writeFile(dir / "b.bmp", bmp24(8, 4, randomPixels(32, 3, 2)));
    test::writeText(dir / "two.lst", "3\na.bmp 0\nb.bmp 0\nmissing.bmp 0\n");
    r = qm5(dir, {"encode", "two.lst"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "b.bmp: 8 x 4 pixels, but a.bmp is 4 x 8; the pictures of a list must be the same size "
                     "(entry 1 of two.lst)\n");
    test::writeText(dir / "gap.lst", "2\na.bmp 0\nmissing.bmp 0\n");
    r = qm5(dir, {"encode", "gap.lst"});
    EXPECT_EQ(r.err.rfind("missing.bmp: cannot be opened (", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("(entry 1 of gap.lst)\n"), std::string::npos) << r.err;

    std::filesystem::create_directory(dir / "a.qm5");
    r = qm5(dir, {"encode", "a.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "a.qm5: is a directory, not a file\n");

    // Fault class: printf conversions of sizes (%zu), formatted by a C
    // library that lacks them (the Windows system one) or checked for it.
    std::string deep;
    while (deep.size() < 252) deep += "./";
    deep += "a.bmp";
    r = qm5(dir, {"encode", deep, "-o", "deep.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, deep + ": the path is longer than 255 characters\n");
}

// --best and --auto: textures that decode to their pictures, never larger
// than the maker's compressed or plain texture.
TEST(CliEncode, BestAndAutoTexturesVerifyAndAreSmallest) {
    struct Input {
        std::string name;
        bool compressedWins;  // with --auto
    };
    test::TempDir dir;
    // Noise in 40 colours: plain wins. Bands of 6 colours: compressed wins.
    test::writeFile(dir / "noise.bmp", bmp24(23, 17, randomPixels(23 * 17, 40, 21)));
    std::vector<std::uint32_t> bands(40 * 24);
    for (std::size_t p = 0; p < bands.size(); ++p) bands[p] = static_cast<std::uint32_t>(p / 40 / 4) * 0x2A1503;
    test::writeFile(dir / "bands.bmp", bmp24(40, 24, bands));
    writeSkyList(dir);
    const Input inputs[] = {{"noise.bmp", false}, {"bands.bmp", true}, {"sky.lst", false}};
    for (const Input& input : inputs) {
        // The maker's modes are checked elsewhere; the new ones are decoded here.
        auto sizeOf = [&](const std::vector<std::string>& mode) {
            std::vector<std::string> args = {"encode", "-q", input.name, "-o", "out.qm5"};
            args.insert(args.end(), mode.begin(), mode.end());
            const auto r = qm5(dir, args);
            EXPECT_EQ(r.exitCode, 0) << input.name << ": " << r.err;
            EXPECT_EQ(r.out + r.err, "") << "--quiet";
            const bool chosen = std::find_if(mode.begin(), mode.end(), [](const std::string& m) {
                                    return m == "--best" || m == "--auto";
                                }) != mode.end();
            if (chosen) {
                const auto v = qm5(dir, {"verify", input.name, "out.qm5"});
                EXPECT_EQ(v.exitCode, 0) << input.name << " " << mode[0] << ": " << v.err;
            }
            if (mode == std::vector<std::string>{"--best"}) {
                const auto i = qm5(dir, {"info", "out.qm5"});
                EXPECT_EQ(i.exitCode, 0) << input.name << ": " << i.err;
            }
            return test::readFile(dir / "out.qm5").size();
        };
        const std::size_t plain = sizeOf({});
        const std::size_t described = sizeOf({"-c"});
        const std::size_t best = sizeOf({"--best"});
        EXPECT_LE(best, described) << input.name;
        EXPECT_EQ(sizeOf({"--auto"}), std::min(plain, described)) << input.name;
        EXPECT_EQ(sizeOf({"--auto", "--best"}), std::min(plain, best)) << input.name;
        EXPECT_EQ(best < plain, input.compressedWins) << input.name << ": best " << best << ", plain " << plain;

        // The choice is named on the error stream; the summary names the encoding.
        const auto r = qm5(dir, {"encode", input.name, "--auto", "--best", "-o", "auto.qm5"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string want =
            input.compressedWins
                ? "auto.qm5: compressed, " + std::to_string(best) + " bytes against " + std::to_string(plain) +
                      " plain\n"
                : "auto.qm5: plain, " + std::to_string(plain) + " bytes; compressed would not be smaller\n";
        EXPECT_EQ(r.err, want);
        EXPECT_NE(r.out.find(input.compressedWins ? ", compressed, " : ", plain, "), std::string::npos) << r.out;
    }
    // The thread count never changes the bytes.
    ASSERT_EQ(qm5(dir, {"encode", "-q", "--best", "-j", "1", "bands.bmp", "-o", "one.qm5"}).exitCode, 0);
    ASSERT_EQ(qm5(dir, {"encode", "-q", "--best", "-j", "3", "bands.bmp", "-o", "three.qm5"}).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "one.qm5"), test::readFile(dir / "three.qm5"));
}

TEST(CliEncode, RecordsTooLongFailBestAndMakeAutoPlain) {
    // 256 x 256 in two colours by the parity of the position: the 32768
    // positions of colour 0 merge with none, 131072 bytes of cubes.
    std::vector<std::uint32_t> parity(65536);
    for (std::uint32_t p = 0; p < parity.size(); ++p) parity[p] = (std::popcount(p) & 1) != 0 ? 0xFFFFFF : 0;
    test::TempDir dir;
    test::writeFile(dir / "par.bmp", bmp24(256, 256, parity));
    test::writeText(dir / "par.qm5", "previous texture");
    auto r = qm5(dir, {"encode", "par.bmp", "--best"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "par.bmp: colour 0 of image 0 would need a record of more than 65535 bytes; write the "
                     "texture plain or with --auto\n");
    EXPECT_EQ(test::readFile(dir / "par.qm5").size(), 16u) << "the old texture stays";

    r = qm5(dir, {"encode", "par.bmp", "--best", "--auto"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "par.qm5: plain, 65564 bytes; compressed, colour 0 of image 0 would need a record of more than "
                     "65535 bytes\n");
    EXPECT_EQ(qm5(dir, {"verify", "par.bmp", "par.qm5"}).exitCode, 0);
}

TEST(CliDecode, AllImagesOfAThreePictureList) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-c", "-q", "sky.lst"}).exitCode, 0);

    auto r = qm5(dir, {"decode", "sky.qm5", "--all"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "sky-0.bmp\nsky-1.bmp\nsky-2.bmp\n");
    EXPECT_EQ(r.err, "");
    // The pictures went in as 24-bit BMP files; each comes back as the same file.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(test::readFile(dir / ("sky-" + std::to_string(i) + ".bmp")),
                  test::readFile(dir / ("s" + std::to_string(i) + ".bmp")))
            << "image " << i;

    std::filesystem::create_directory(dir / "out");
    r = qm5(dir, {"decode", "--all", "sky.qm5", "-o", "out/back.bmp", "-q"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::readFile(dir / "out" / "back-2.bmp"), test::readFile(dir / "s2.bmp"));
}

TEST(CliDecode, OneImageAndFailures) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-q", "sky.lst"}).exitCode, 0);
    auto r = qm5(dir, {"decode", "sky.qm5", "--image", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "sky.bmp\n");
    EXPECT_EQ(test::readFile(dir / "sky.bmp"), test::readFile(dir / "s2.bmp"));

    r = qm5(dir, {"decode", "sky.qm5", "--image", "3"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "sky.qm5: has no image 3; it holds 3 images\n");

    r = qm5(dir, {"decode", "sky.lst"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "sky.lst: not a Qm5 texture of version 100\n");

    // 4 x 4 pixels (b = 4), 14 colours: records 0..11 are general records
    // without cubes, record 12 announces 5 data bytes but the file ends.
    test::TextureBytes cut(14, 1, 4, 4);
    for (int k = 0; k < 14; ++k) cut.u32(0x010101u * static_cast<std::uint32_t>(k));
    for (int c = 0; c < 12; ++c) cut.hex("00 00 04");
    cut.hex("00 05 04 12 34");
    test::writeFile(dir / "tex.qm5", cut.bytes);
    r = qm5(dir, {"decode", "tex.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "tex.qm5: record 12 of image 0 runs past the end of the file\n");
    EXPECT_FALSE(test::fileExists(dir / "tex.bmp"));
}

TEST(CliInfo, ValidTextures) {
    test::TempDir dir;
    test::writeFile(dir / "tex.qm5", kWorkedTexture);
    auto r = qm5(dir, {"info", "tex.qm5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "file: tex.qm5\n"
              "file size: 35 bytes\n"
              "version: 100\n"
              "width: 2\n"
              "height: 2\n"
              "colours: 2\n"
              "mipmap levels: 1\n"
              "images: 1\n"
              "compression: 1 (colour records)\n"
              "position bits: 2\n"
              "palette: 8 bytes at offset 20\n"
              "image 0: compressed, 7 bytes at offset 28, 43 % of true colour, records: 0 empty, 1 whole, "
              "1 general, 2 cubes\n"
              "status: valid\n");

    // What the maker writes is valid, also where b <= 3 leaves fill bits
    // that read as cubes (2 x 1: b = 1, one cube of 2 bits in a byte).
    test::writeFile(dir / "two.bmp", bmp24(2, 1, {0x10, 0x20}));
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-cq", "two.bmp"}).exitCode, 0);
    ASSERT_EQ(qm5(dir, {"encode", "-cq", "sky.lst"}).exitCode, 0);
    r = qm5(dir, {"info", "two.qm5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("records: 0 empty, 1 whole, 1 general, 1 cubes\n"), std::string::npos) << r.out;
    r = qm5(dir, {"info", "sky.qm5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("images: 3\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("image 2: compressed"), std::string::npos) << r.out;
}

TEST(CliInfo, CorruptedTexturesSayWhatIsWrongWhere) {
    test::TempDir dir;
    // 4 x 4 (b = 4), 3 colours: record 0 has b = 5; record 1 one cube whose
    // position bit 0 is in both masks (Z = O = 0001: stream bits 3 and 7);
    // record 2 runs past the end.
    test::TextureBytes bad(3, 1, 4, 4);
    bad.u32(1).u32(2).u32(3).hex("00 01 05 00").hex("00 01 04 88").hex("00 05 04 00");
    test::writeFile(dir / "tex.qm5", bad.bytes);
    auto r = qm5(dir, {"info", "tex.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "tex.qm5: record 0 of image 0 has b = 5, want 4 for 4 x 4 pixels\n"
              "tex.qm5: cube 0 of record 1 of image 0 has position bit 0 in both masks\n"
              "tex.qm5: record 2 of image 0 runs past the end of the file\n");
    EXPECT_NE(r.out.find("cut short by the end of the file\nstatus: 3 problems\n"), std::string::npos) << r.out;

    // Plain 2 x 2 with 2 colours: an index outside the palette, then a byte
    // after the last image.
    test::TextureBytes plain(2, 0, 2, 2);
    plain.u32(1).u32(2).hex("00 01 05 07 AA");
    test::writeFile(dir / "plain.qm5", plain.bytes);
    r = qm5(dir, {"info", "plain.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "plain.qm5: pixel (0, 1) of image 0 has index 5, want below 2 (2 such pixels in the image)\n"
              "plain.qm5: 1 byte follows the last image\n");

    test::TextureBytes version(1, 0, 1, 1);
    version.bytes[4] = 101;
    test::writeFile(dir / "v.qm5", version.bytes);
    r = qm5(dir, {"info", "v.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "v.qm5: version 101, want 100\n");

    r = qm5(dir, {"info", "none.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("none.qm5: cannot be opened (", 0), 0u) << r.err;
}

TEST(CliVerify, MatchAndMismatch) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-cq", "sky.lst"}).exitCode, 0);
    auto r = qm5(dir, {"verify", "sky.lst", "sky.qm5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "sky.qm5: 3 images match sky.lst\n");
    EXPECT_EQ(r.err, "");

    // One pixel of the second picture changed after encoding.
    auto pixels = randomPixels(64, 4, 11);
    pixels[8 * 5 + 3] = 0x123456;
    test::writeFile(dir / "s1.bmp", bmp24(8, 8, pixels));
    const std::uint32_t was = randomPixels(64, 4, 11)[8 * 5 + 3];
    char want[160];
    std::snprintf(want, sizeof want,
                  "sky.qm5: image 1 differs from s1.bmp at pixel (3, 5): colour 0x%06X, want 0x123456\n", was);
    r = qm5(dir, {"verify", "sky.lst", "sky.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, want);

    r = qm5(dir, {"verify", "s0.bmp", "sky.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "sky.qm5: holds 3 images, but s0.bmp holds 1 picture\n");

    r = qm5(dir, {"verify", "-q", "s0.bmp", "sky.lst"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "sky.lst: not a Qm5 texture of version 100\n");
}

// The inspection behind `qm5 info`, on hand-made files: each case lists
// every problem it must report, in order.
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
        for (const TextureProblem& p : info.kept()) got.push_back(describeProblem(info, p, text, sizeof text));
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
