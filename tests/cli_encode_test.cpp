// qm5 encode, run in temporary directories: textures byte for byte against
// those of qm5_maker, names, lists, the modes qm5_maker lacks, messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/cli_support.hpp"
#include "tests/texture_builder.hpp"

#if defined(QM5_TEST_POSIX)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qm5 {
namespace {

using test::bmp24;
using test::Bytes;
using test::formatNames;
using test::qm5;
using test::randomPixels;
using test::writeSkyList;

const Bytes kWorkedTexture = test::workedTexture();

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
        std::size_t plainSize = 0;
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
            // No progress when standard error is no terminal; -c notes a
            // texture larger than plain (these small noisy ones are).
            if (!compress) plainSize = want.size();
            ASSERT_TRUE(!compress || want.size() > plainSize);
            EXPECT_EQ(r.err, !compress ? ""
                                       : "qm5: " + texture + ": compressed, " + std::to_string(want.size()) +
                                             " bytes, is larger than plain would be (" + std::to_string(plainSize) +
                                             " bytes); --auto writes the smaller\n");
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

    // The extension of the last component: a dot in a directory name is none.
    std::filesystem::create_directories(dir / "pics.d" / "b.c");
    test::writeFile(dir / "pics.d" / "wall", bmp24(2, 2, {1, 2, 3, 4}));
    test::writeFile(dir / "pics.d" / "b.c" / "d.bmp", bmp24(2, 2, {1, 2, 3, 4}));
    for (const char* input : {"pics.d/wall", "pics.d/b.c/d.bmp"}) {
        r = qm5(dir, {"encode", "-q", input});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_TRUE(test::fileExists(dir / "pics.d" / "wall.qm5"));
    EXPECT_TRUE(test::fileExists(dir / "pics.d" / "b.c" / "d.qm5"));
    EXPECT_FALSE(test::fileExists(dir / "pics.qm5"));
}

TEST(CliEncode, ErrorsNameTheFileAndTheReason) {
    test::TempDir dir;
    test::writeText(dir / "wall.bmp", "neither a picture nor a list");
    test::writeText(dir / "wall.qm5", "previous texture");
    auto r = qm5(dir, {"encode", "wall.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("qm5: wall.bmp: not a picture qm5 reads (") + formatNames() + ")\n");
    EXPECT_EQ(test::readFile(dir / "wall.qm5"), test::fromHex("70 72 65 76 69 6F 75 73 20 74 65 78 74 75 72 65"))
        << "a failed run keeps the old texture";

    r = qm5(dir, {"encode", "nothing.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("qm5: nothing.bmp: cannot be opened (", 0), 0u) << r.err;

    test::writeText(dir / "empty.lst", "0\n");
    r = qm5(dir, {"encode", "empty.lst"});
    EXPECT_EQ(r.err, "qm5: empty.lst: the list names no pictures\n");

    test::writeText(dir / "pic.gif", "GIF89a and more");
    r = qm5(dir, {"encode", "pic.gif"});
    EXPECT_EQ(r.err, std::string("qm5: pic.gif: a GIF picture, which qm5 does not read (it reads ") + formatNames() + ")\n");

    test::writeText(dir / "cut.bmp", "BM but nothing else");
    r = qm5(dir, {"encode", "cut.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("qm5: cut.bmp: ", 0), 0u) << r.err;
    EXPECT_FALSE(test::fileExists(dir / "cut.qm5"));

    test::writeFile(dir / "a.bmp", bmp24(4, 8, randomPixels(32, 3, 1)));
    test::writeFile(dir / "b.bmp", bmp24(8, 4, randomPixels(32, 3, 2)));
    test::writeText(dir / "two.lst", "3\na.bmp 0\nb.bmp 0\nmissing.bmp 0\n");
    r = qm5(dir, {"encode", "two.lst"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: b.bmp: 8 x 4 pixels, but a.bmp is 4 x 8; the pictures of a list must be the same size "
                     "(entry 1 of two.lst)\n");
    test::writeText(dir / "gap.lst", "2\na.bmp 0\nmissing.bmp 0\n");
    r = qm5(dir, {"encode", "gap.lst"});
    EXPECT_EQ(r.err.rfind("qm5: missing.bmp: cannot be opened (", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("(entry 1 of gap.lst)\n"), std::string::npos) << r.err;

    std::filesystem::create_directory(dir / "a.qm5");
    r = qm5(dir, {"encode", "a.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: a.qm5: cannot be created (Is a directory)\n");
    // Outputs say the system's reason.
    r = qm5(dir, {"encode", "b.bmp", "-o", "nodir/b.qm5"});
    EXPECT_EQ(r.err, "qm5: nodir/b.qm5: cannot be created (No such file or directory)\n");
#if defined(QM5_TEST_POSIX)
    // A file size limit is POSIX only.
    test::writeFile(dir / "big.bmp", bmp24(64, 64, randomPixels(4096, 3, 5)));
    test::RunLimits limits;
    limits.maxFileSize = 1000;
    r = test::runProgram(QM5_CMD_BIN, {"encode", "big.bmp"}, dir.path(), "", limits);
    EXPECT_EQ(r.err, "qm5: big.qm5: cannot be written (File too large)\n");
#endif
    ASSERT_EQ(qm5(dir, {"encode", "-q", "b.bmp"}).exitCode, 0);
    r = qm5(dir, {"decode", "b.qm5", "-o", "nodir/b.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: nodir/b.bmp: cannot be created (No such file or directory)\n");

    // Fault class: printf conversions of sizes (%zu), formatted by a C
    // library that lacks them (the Windows system one) or checked for it.
    std::string deep;
    while (deep.size() < 252) deep += "./";
    deep += "a.bmp";
    r = qm5(dir, {"encode", deep, "-o", "deep.qm5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: " + deep + ": the path is longer than 255 characters\n");
}

// Several INPUTs: each to its own texture, every failure reported, the run
// going on; --output-dir puts them together and refuses to let one replace
// another.
TEST(CliEncode, SeveralInputsAndAnOutputFolder) {
    test::TempDir dir;
    writeSkyList(dir);
    std::filesystem::create_directories(dir / "d1");
    std::filesystem::create_directories(dir / "d2");
    std::filesystem::create_directories(dir / "out");
    test::writeFile(dir / "d1" / "x.bmp", bmp24(4, 4, randomPixels(16, 3, 1)));
    test::writeFile(dir / "d2" / "x.bmp", bmp24(4, 4, randomPixels(16, 3, 2)));
    auto r = qm5(dir, {"encode", "s0.bmp", "missing.bmp", "sky.lst"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("qm5: missing.bmp: cannot be opened (", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out.rfind("s0.qm5: 1 image of 8 x 8", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nsky.qm5: 3 images of 8 x 8"), std::string::npos) << r.out;
    ASSERT_EQ(qm5(dir, {"encode", "-q", "sky.lst", "-o", "want.qm5"}).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "sky.qm5"), test::readFile(dir / "want.qm5"));

    r = qm5(dir, {"encode", "-q", "--output-dir", "out", "d1/x.bmp", "d2/x.bmp", "sky.lst"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: d2/x.bmp: its texture out/x.qm5 is that of d1/x.bmp too; not written\n");
    ASSERT_EQ(qm5(dir, {"encode", "-q", "d1/x.bmp", "-o", "x1.qm5"}).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "out" / "x.qm5"), test::readFile(dir / "x1.qm5")) << "the first stays";
    EXPECT_EQ(test::readFile(dir / "out" / "sky.qm5"), test::readFile(dir / "want.qm5"));

    // The folder is made with its parents; a file in its way is named.
    ASSERT_EQ(qm5(dir, {"encode", "-q", "--output-dir", "new/deeper", "s0.bmp"}).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "new" / "deeper" / "s0.qm5"), test::readFile(dir / "s0.qm5"));
    r = qm5(dir, {"encode", "--output-dir", "s0.bmp/d", "s0.bmp", "s1.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: s0.bmp/d: cannot be created (Not a directory)\n");
}

// Lists by qm5's rules: names from the list's folder, with blanks, after a
// byte-order mark; a list without its count line is told so.
TEST(CliEncode, ListsNameTheirPicturesFromTheirFolder) {
    test::TempDir dir;
    std::filesystem::create_directory(dir / "pics");
    test::writeFile(dir / "pics" / "sky 0.bmp", bmp24(8, 8, randomPixels(64, 4, 1)));
    test::writeFile(dir / "pics" / "s1.bmp", bmp24(8, 8, randomPixels(64, 4, 2)));
    test::writeText(dir / "pics" / "sky.lst", "\xEF\xBB\xBF" "2\r\nsky 0.bmp 0\r\ns1.bmp 3\r\n");
    auto r = qm5(dir, {"encode", "-q", "pics/sky.lst"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = qm5(dir, {"verify", "pics/sky.lst", "pics/sky.qm5"});
    EXPECT_EQ(r.out, "pics/sky.qm5: 2 images match pics/sky.lst\n") << r.err;
#if defined(QM5_TEST_POSIX)  // symbolic links need privileges on Windows
    // A link to a list (as /dev/stdin redirected from one) takes names from the list's folder.
    std::filesystem::create_symlink("pics/sky.lst", dir / "link.lst");
    r = qm5(dir, {"verify", "link.lst", "pics/sky.qm5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
#endif

    // A count that disagrees with the entries: read as qm5_maker reads it, and said.
    test::writeText(dir / "pics" / "one.lst", "1\nsky 0.bmp\n\ns1.bmp\n");
    r = qm5(dir, {"encode", "-q", "pics/one.lst"});
    EXPECT_EQ(r.err, "qm5: pics/one.lst: its count line says 1 picture, but it names 2; the first is read, as "
                     "qm5_maker reads it\n");
    test::writeText(dir / "pics" / "five.lst", "5\nsky 0.bmp\ns1.bmp 3\n");
    r = qm5(dir, {"verify", "pics/five.lst", "pics/sky.qm5"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "qm5: pics/five.lst: its count line says 5 pictures, but it names 2; those 2 are read, as "
                     "qm5_maker reads it\n");

    test::writeText(dir / "pics" / "nocount.lst", "sky 0.bmp\ns1.bmp\n");
    r = qm5(dir, {"encode", "pics/nocount.lst"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qm5: pics/nocount.lst: a list file starts with the number of pictures\n");
    test::writeText(dir / "pics" / "gap.lst", "2\ns1.bmp\nmissing.bmp\n");
    r = qm5(dir, {"encode", "pics/gap.lst"});
    EXPECT_EQ(r.err, "qm5: pics/missing.bmp: cannot be opened (No such file or directory) (entry 1 of pics/gap.lst)\n");
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
        // The palette order search keeps ascending order unless another is smaller.
        EXPECT_LE(best, sizeOf({"--best", "--effort", "0"})) << input.name;
        EXPECT_EQ(sizeOf({"--auto"}), std::min(plain, compressed)) << input.name;
        EXPECT_EQ(sizeOf({"--auto", "--best"}), std::min(plain, best)) << input.name;
        EXPECT_EQ(best < plain, input.compressedWins) << input.name << ": best " << best << ", plain " << plain;

        // The choice is named on the error stream; the summary names the encoding.
        const auto r = qm5(dir, {"encode", input.name, "--auto", "--best", "-o", "auto.qm5"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string want =
            input.compressedWins
                ? "qm5: auto.qm5: compressed, " + std::to_string(best) + " bytes against " + std::to_string(plain) +
                      " plain\n"
                : "qm5: auto.qm5: plain, " + std::to_string(plain) + " bytes; compressed would not be smaller\n";
        EXPECT_EQ(r.err, want);
        EXPECT_NE(r.out.find(input.compressedWins ? ", compressed, " : ", plain, "), std::string::npos) << r.out;
    }
    // The thread count never changes the bytes. (An effort above the
    // default, so that the search has the budget to move the background.)
    ASSERT_EQ(qm5(dir, {"encode", "-q", "--best", "--effort", "4", "-j", "1", "bands.bmp", "-o", "one.qm5"})
                  .exitCode,
              0);
    ASSERT_EQ(qm5(dir, {"encode", "-q", "--best", "--effort", "4", "-j", "4", "bands.bmp", "-o", "four.qm5"})
                  .exitCode,
              0);
    EXPECT_EQ(test::readFile(dir / "one.qm5"), test::readFile(dir / "four.qm5"));

    // Its palette is not ascending (the search moved colours); qm5 decode
    // and qm5_test paint it back all the same.
    const Bytes texture = test::readFile(dir / "one.qm5");
    const std::size_t colours = texture.size() > 8 ? std::size_t{texture[6]} | std::size_t{texture[7]} << 8 : 0;
    ASSERT_GT(texture.size(), 20 + 4 * colours);
    auto entry = [&](std::size_t k) {
        const std::size_t at = 20 + 4 * k;
        return std::uint32_t{texture[at]} | std::uint32_t{texture[at + 1]} << 8 | std::uint32_t{texture[at + 2]} << 16;
    };
    bool ascending = true;
    for (std::size_t k = 1; k < colours; ++k) ascending = ascending && entry(k - 1) <= entry(k);
    EXPECT_FALSE(ascending);
    ASSERT_EQ(qm5(dir, {"decode", "-q", "one.qm5", "-o", "one.bmp"}).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "one.bmp"), test::readFile(dir / "bands.bmp"));
    test::writeFile(dir / "pcx_compr.qm5", texture);
    ASSERT_EQ(test::runProgram(QM5_TEST_BIN, {}, dir.path()).exitCode, 0);
    EXPECT_EQ(test::readFile(dir / "qm5_compr.bmp"), test::readFile(dir / "bands.bmp"));

    EXPECT_EQ(qm5(dir, {"encode", "--effort", "2", "bands.bmp"}).exitCode, 2) << "--effort without --best";
    EXPECT_EQ(qm5(dir, {"encode", "--best", "--effort", "1001", "bands.bmp"}).exitCode, 2);
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
    EXPECT_EQ(r.err, "qm5: par.bmp: colour 0 of image 0 would need a record of more than 65535 bytes; write the "
                     "texture plain or with --auto\n");
    EXPECT_EQ(test::readFile(dir / "par.qm5").size(), 16u) << "the old texture stays";

    r = qm5(dir, {"encode", "par.bmp", "--best", "--auto"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "qm5: par.qm5: plain, 65564 bytes; compressed, colour 0 of image 0 would need a record of more than "
                     "65535 bytes\n");
    EXPECT_EQ(qm5(dir, {"verify", "par.bmp", "par.qm5"}).exitCode, 0);
}

#if defined(QM5_TEST_POSIX)
// FIFOs are POSIX only.
// A FIFO at path that hands bytes to the first reader that opens it and an
// empty stream to any later one, until destroyed; counts the opens. A
// reader still holding the FIFO (a slow or emulated program) is one open,
// however often the server looks: only an open after one that found no
// reader counts again.
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
        bool readerGone = true;
        while (!stop_) {
            // Succeeds only while a reader has the FIFO open.
            const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) {
                readerGone = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            const bool newReader = readerGone;
            readerGone = false;
            if (newReader && opens_++ == 0) {
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
#endif  // QM5_TEST_POSIX

}  // namespace
}  // namespace qm5
