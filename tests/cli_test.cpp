// The qm5 program as a whole, run in temporary directories: help, version
// and usage errors.
#include <gtest/gtest.h>

#include "tests/cli_support.hpp"

namespace qm5 {
namespace {

using test::bmp24;
using test::Bytes;
using test::formatNames;
using test::qm5;
using test::randomPixels;
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

}  // namespace
}  // namespace qm5
