// The qm5 program as a whole, run in temporary directories: help, version
// and usage errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/cli_support.hpp"

namespace qm5 {
namespace {

using test::Bytes;
using test::qm5;
using test::writeSkyList;

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
        {{"verify", "a.bmp", "a.qm5", "b.bmp"},
         "qm5 verify: INPUT and TEXTURE come in pairs; 'b.bmp' has no TEXTURE\nTry 'qm5 verify --help'.\n"},
        {{"decode", "a.qm5", "b.qm5", "-o", "x.bmp"},
         "qm5 decode: -o names the file of one TEXTURE; for several use --output-dir\nTry 'qm5 decode --help'.\n"},
        // Names: -o for one INPUT, standard input once and with -o.
        {{"encode", "a.bmp", "b.bmp", "-o", "x.qm5"},
         "qm5 encode: -o names one texture; for several INPUTs use --output-dir\nTry 'qm5 encode --help'.\n"},
        {{"encode", "-o", "x.qm5", "--output-dir", "d", "a.bmp"},
         "qm5 encode: -o and --output-dir exclude each other\nTry 'qm5 encode --help'.\n"},
        {{"encode", "-", "-o", "x.qm5", "-"},
         "qm5 encode: standard input (-) can be read only once\nTry 'qm5 encode --help'.\n"},
        {{"encode", "-", "--output-dir", "d"},
         "qm5 encode: a picture from standard input has no name for its texture; give -o FILE\n"
         "Try 'qm5 encode --help'.\n"},
        {{"decode", "-"},
         "qm5 decode: a texture from standard input has no name for its image; give -o FILE\n"
         "Try 'qm5 decode --help'.\n"},
        {{"decode", "t.qm5", "-o", "-"},
         "qm5 decode: -o - (standard output) needs --format bmp or png\nTry 'qm5 decode --help'.\n"},
        {{"decode", "t.qm5", "--all", "-o", "-", "--format", "bmp"},
         "qm5 decode: --all writes a file per image, not standard output\nTry 'qm5 decode --help'.\n"},
        {{"decode", "t.qm5", "--format", "gif"}, "qm5 decode: --format needs bmp or png, got 'gif'\nTry 'qm5 decode --help'.\n"},
        {{"decode", "t.qm5", "-o", "x.bmp", "--format", "png"},
         "qm5 decode: --format png, but --output names a file of the other format\nTry 'qm5 decode --help'.\n"},
        {{"verify", "-", "-"},
         "qm5 verify: standard input can be read only once: give INPUT or TEXTURE as a file\n"
         "Try 'qm5 verify --help'.\n"},
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

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// "-" reads standard input and "-o -" writes standard output: the texture
// and images that files give, and nothing at all on a failure.
TEST(CliPipes, StandardInputAndOutput) {
    test::TempDir dir;
    writeSkyList(dir);
    ASSERT_EQ(qm5(dir, {"encode", "-cq", "s0.bmp", "-o", "want.qm5"}).exitCode, 0);
    ASSERT_EQ(qm5(dir, {"encode", "-q", "sky.lst", "-o", "sky.qm5"}).exitCode, 0);
    const std::string picture = text(test::readFile(dir / "s0.bmp"));
    const std::string texture = text(test::readFile(dir / "want.qm5"));
    auto r = qm5(dir, {"encode", "-c", "-", "-o", "-"}, picture);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.rfind("qm5: standard output: compressed, " + std::to_string(texture.size()) + " bytes", 0), 0u)
        << r.err;
    EXPECT_EQ(r.out, texture) << "the texture alone, no summary line";
    // A list from standard input names pictures from the current directory.
    r = qm5(dir, {"encode", "-q", "-", "-o", "fromlist.qm5"}, "3\ns0.bmp\ns1.bmp\ns2.bmp 7\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(test::readFile(dir / "fromlist.qm5"), test::readFile(dir / "sky.qm5"));

    r = qm5(dir, {"decode", "-", "-o", "-", "--format", "bmp"}, texture);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, picture);
    r = qm5(dir, {"info", "-"}, texture);
    EXPECT_EQ(r.out.rfind("file: standard input\n", 0), 0u) << r.out;
    r = qm5(dir, {"verify", "-", "want.qm5"}, picture);
    EXPECT_EQ(r.out, "want.qm5: 1 image matches standard input\n") << r.err;
    r = qm5(dir, {"verify", "s0.bmp", "-"}, texture);
    EXPECT_EQ(r.exitCode, 0) << r.err;

    r = qm5(dir, {"encode", "-", "-o", "-"}, "BM and nothing else");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "") << "a failed texture writes nothing";
    EXPECT_EQ(r.err.rfind("qm5: standard input: ", 0), 0u) << r.err;
    r = qm5(dir, {"info", "-"}, "");
    EXPECT_EQ(r.err, "qm5: standard input: the file ends inside the 20-byte header (it holds 0 bytes)\n");
}

#if defined(QM5_TEST_POSIX)  // a POSIX shell running the Windows program is no test of it
// The shell's own ways: a pipeline through encode and info, and find | xargs
// over names with blanks.
TEST(CliPipes, ShellPipelinesAndXargs) {
    test::TempDir dir;
    writeSkyList(dir);
    // The shell is the machine's; qm5 runs behind the build's launcher.
    const std::string qm5Bin = test::shellCommand(QM5_CMD_BIN);
    test::RunLimits shell;
    shell.hostProgram = true;
    const auto sh = [&](const std::string& script) {
        return test::runProgram("/bin/sh", {"-c", script}, dir.path(), "", shell);
    };
    auto r = sh("cat s0.bmp | " + qm5Bin + " encode - -o - | " + qm5Bin + " info -");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\nstatus: valid\n"), std::string::npos) << r.out;
    // Standard input that cannot be read says why.
    r = sh(qm5Bin + " encode - -o x.qm5 < /");
    EXPECT_EQ(r.err, "qm5: standard input: cannot be read (Is a directory)\n");

    std::filesystem::create_directories(dir / "pics" / "sub dir");
    std::filesystem::create_directories(dir / "out");
    std::filesystem::copy_file(dir / "s0.bmp", dir / "pics" / "a.bmp");
    std::filesystem::copy_file(dir / "s1.bmp", dir / "pics" / "sub dir" / "my b.bmp");
    r = sh("find pics -name '*.bmp' -print0 | xargs -0 " + qm5Bin + " encode -c --output-dir out");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << "a note on each texture larger than plain:\n" << r.err;
    EXPECT_EQ(qm5(dir, {"verify", "-q", "pics/a.bmp", "out/a.qm5"}).exitCode, 0);
    EXPECT_EQ(qm5(dir, {"verify", "-q", "pics/sub dir/my b.bmp", "out/my b.qm5"}).exitCode, 0);
}

#endif  // QM5_TEST_POSIX

}  // namespace
}  // namespace qm5
