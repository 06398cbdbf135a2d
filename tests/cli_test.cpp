// Runs the built qm5 command in temporary directories: exit codes, the
// split of results (standard output) and messages (standard error), the
// error texts, and textures byte for byte against those of qm5_maker.
// Longer than most files: every subcommand's runs share the pictures and
// lists made here, and a split would only copy them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <bit>
#include <functional>

#include "formats/png_codec.hpp"
#include "picture/picture_loader.hpp"
#include "tests/synthetic_picture.hpp"
#include "texture/texture_decoder.hpp"
#include "tests/test_support.hpp"
#include "tests/texture_builder.hpp"

namespace qm5 {
namespace {

using test::bmp24;
using test::Bytes;
using test::randomPixels;

// The formats qm5 names in its refusals.
const char* formatNames() { return pngSupported() ? "BMP, PCX, PNG, TGA" : "BMP, PCX, TGA"; }

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

const Bytes kWorkedTexture = test::workedTexture();

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
    EXPECT_EQ(r.err, std::string("wall.bmp: not a picture qm5 reads (") + formatNames() + ")\n");
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
    EXPECT_EQ(r.err, std::string("pic.gif: a GIF picture, which qm5 does not read (it reads ") + formatNames() + ")\n");

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
        const std::size_t compressed = sizeOf({"-c"});
        const std::size_t best = sizeOf({"--best"});
        EXPECT_LE(best, compressed) << input.name;
        EXPECT_EQ(sizeOf({"--auto"}), std::min(plain, compressed)) << input.name;
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

// A FIFO at path that hands bytes to the first reader that opens it and an
// empty stream to any later one, until destroyed; counts the opens.
class ServedFifo {
public:
    ServedFifo(const std::filesystem::path& path, Bytes bytes) : path_(path), bytes_(std::move(bytes)) {
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~ServedFifo() {
        stop_ = true;
        thread_.join();
    }
    int opens() const { return opens_; }

private:
    void serve() {
        while (!stop_) {
            // Succeeds only while a reader has the FIFO open.
            const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (opens_++ == 0) {
                ::fcntl(fd, F_SETFL, 0);
                for (std::size_t done = 0; done < bytes_.size();) {
                    const ssize_t n = ::write(fd, bytes_.data() + done, bytes_.size() - done);
                    if (n <= 0) break;
                    done += static_cast<std::size_t>(n);
                }
            }
            ::close(fd);
            // Let the reader see the end before a later open is looked for.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::filesystem::path path_;
    Bytes bytes_;
    std::atomic<bool> stop_{false};
    std::atomic<int> opens_{0};
    std::thread thread_;
};

// Pictures and lists from FIFOs: each is opened and read once, and gives the
// texture its regular file gives.
TEST(CliEncode, PicturesAndListsFromFifosAreReadOnce) {
    test::TempDir dir;
    writeSkyList(dir);
    const Bytes picture = test::readFile(dir / "s1.bmp");
    ASSERT_EQ(qm5(dir, {"encode", "-q", "s1.bmp", "-o", "want1.qm5"}).exitCode, 0);
    ASSERT_EQ(qm5(dir, {"encode", "-q", "sky.lst", "-o", "wantsky.qm5"}).exitCode, 0);
    {
        ServedFifo fifo(dir / "fifo.bmp", picture);
        const auto r = qm5(dir, {"encode", "-q", "fifo.bmp", "-o", "got1.qm5"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(fifo.opens(), 1);
    }
    EXPECT_EQ(test::readFile(dir / "got1.qm5"), test::readFile(dir / "want1.qm5"));
    {
        // A list from a FIFO naming a picture from a FIFO.
        ServedFifo list(dir / "fifo.lst", {'2', '\n', 's', '0', '.', 'b', 'm', 'p', '\n', 'p', '.', 'b', 'm', 'p', '\n'});
        ServedFifo second(dir / "p.bmp", test::readFile(dir / "s1.bmp"));
        test::writeText(dir / "two.lst", "2\ns0.bmp\ns1.bmp\n");
        ASSERT_EQ(qm5(dir, {"encode", "-q", "two.lst", "-o", "wanttwo.qm5"}).exitCode, 0);
        const auto r = qm5(dir, {"encode", "-q", "fifo.lst", "-o", "gottwo.qm5"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(list.opens(), 1);
        EXPECT_EQ(second.opens(), 1);
        EXPECT_EQ(test::readFile(dir / "gottwo.qm5"), test::readFile(dir / "wanttwo.qm5"));
    }
    {
        // qm5_maker: the same texture and the same console lines.
        std::filesystem::copy_file(dir / "s2.bmp", dir / "copy.bmp");
        const auto want = test::runProgram(QM5_MAKER_BIN, {"copy.bmp", "c"}, dir.path());
        ServedFifo fifo(dir / "pipe.bmp", test::readFile(dir / "s2.bmp"));
        const auto r = test::runProgram(QM5_MAKER_BIN, {"pipe.bmp", "c"}, dir.path());
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, want.out);
        EXPECT_EQ(fifo.opens(), 1);
        EXPECT_EQ(test::readFile(dir / "pipe.qm5"), test::readFile(dir / "copy.qm5"));
    }
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

    // --all checks every image before it writes any: a bad index in the
    // last image leaves no file behind.
    test::writeFile(dir / "two.qm5", test::TextureBytes(2, 0, 2, 1, 2).u32(5).u32(6).hex("00 01 01 02").bytes);
    r = qm5(dir, {"decode", "two.qm5", "--all"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "two.qm5: image 1 holds an index outside the palette at offset 31\n");
    EXPECT_FALSE(test::fileExists(dir / "two-0.bmp"));
    // No picture to paint is malformed, not an empty BMP.
    test::writeFile(dir / "flat.qm5", test::TextureBytes(1, 1, 0, 4).u32(5).hex("80 00 00").bytes);
    r = qm5(dir, {"decode", "flat.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "flat.qm5: the width is 0: the picture holds no pixels\n");
    EXPECT_FALSE(test::fileExists(dir / "flat.bmp"));
}

// The extension of --output chooses the format: PNG with a palette when the
// texture has at most 256 colours, RGB otherwise; nothing else is written.
TEST(CliDecode, PngOrBmpByExtension) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-cq", "sky.lst"}).exitCode, 0);
    auto r = qm5(dir, {"decode", "sky.qm5", "-o", "out.tga"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "qm5 decode: --output must name a .bmp or .png file, got 'out.tga'\nTry 'qm5 decode --help'.\n");
    EXPECT_FALSE(test::fileExists(dir / "out.tga"));
    if (!pngSupported()) GTEST_SKIP() << "built without libspng";

    r = qm5(dir, {"decode", "sky.qm5", "--all", "-o", "frame.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "frame-0.png\nframe-1.png\nframe-2.png\n");
    for (int i = 0; i < 3; ++i) {
        const Bytes png = test::readFile(dir / ("frame-" + std::to_string(i) + ".png"));
        ASSERT_GT(png.size(), 25u);
        EXPECT_EQ(png[25], 3) << "colour type: palette";
        // The PNG read back is the picture that went in.
        test::writeText(dir / "one.lst", "1\nframe-" + std::to_string(i) + ".png\n");
        ASSERT_EQ(qm5(dir, {"encode", "-cq", "one.lst", "-o", "again.qm5"}).exitCode, 0);
        Picture want, got;
        PictureLoader loader(nullptr);
        const Bytes texture = test::readFile(dir / "again.qm5");
        ASSERT_EQ(decodeTextureImage(std::span<const std::uint8_t>(texture), 0, got), TextureError::none);
        ASSERT_EQ(loader.loadBmp24(test::readFile(dir / ("s" + std::to_string(i) + ".bmp")), want), PictureError::none);
        EXPECT_EQ(std::vector<std::uint32_t>(got.pixels.begin(), got.pixels.end()),
                  std::vector<std::uint32_t>(want.pixels.begin(), want.pixels.end())) << "image " << i;
    }
    std::filesystem::copy_file(test::sourcePath("tests/fixtures/textures/plain16_300_colours_2x2.qm5"), dir / "many.qm5");
    r = qm5(dir, {"decode", "many.qm5", "-o", "many.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(test::readFile(dir / "many.png")[25], 2) << "colour type: RGB";
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

}  // namespace
}  // namespace qm5
