// Outputs of the built programs that must never cost an input or leave
// debris: an output that is an input by another name, a run stopped by a
// signal, the longest legal output names, and outputs that replace files
// with their own permissions or that are symbolic links.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include "tests/synthetic_picture.hpp"
#include "tests/test_support.hpp"

#if defined(QM5_TEST_POSIX)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qm5 {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes wall() { return test::bmp24(16, 16, test::randomPixels(256, 5, 3)); }

// A texture of wall() made by qm5_maker in dir, as wall.qm5.
Bytes makeWallTexture(const test::TempDir& dir) {
    test::writeFile(dir / "wall.bmp", wall());
    EXPECT_EQ(test::runProgram(QM5_MAKER_BIN, {"wall.bmp", "c"}, dir.path()).exitCode, 0);
    return test::readFile(dir / "wall.qm5");
}

struct SameFileCase {
    const char* what;
    const char* program;
    std::vector<std::string> args;
    std::function<void(const test::TempDir&)> setUp;  // makes the input and the second name
    const char* input;                                // must keep its bytes
    const char* message;                              // in the output or error stream
};

TEST(OutputSafety, AnOutputThatIsAnInputIsRefused) {
    const auto picture = [](const test::TempDir& d) { test::writeFile(d / "wall.bmp", wall()); };
    const auto texture = [](const test::TempDir& d) { makeWallTexture(d); };
    const SameFileCase cases[] = {
        {"maker: the picture is named like its texture", QM5_MAKER_BIN, {"wall.qm5"},
         [](const test::TempDir& d) { test::writeFile(d / "wall.qm5", wall()); }, "wall.qm5",
         " ERROR : Destination file is one of the input files !"},
        {"maker: a list names its own texture", QM5_MAKER_BIN, {"list.txt", "c"},
         [&](const test::TempDir& d) {
             picture(d);
             fs::create_hard_link(d / "wall.bmp", d / "list.qm5");
             test::writeText(d / "list.txt", "2\nwall.bmp 0\nlist.qm5 0\n");
         },
         "wall.bmp", " ERROR : Destination file is one of the input files !"},
        {"encode: the output is a hard link to the picture", QM5_CMD_BIN, {"encode", "wall.bmp", "-o", "hard.qm5"},
         [&](const test::TempDir& d) {
             picture(d);
             fs::create_hard_link(d / "wall.bmp", d / "hard.qm5");
         },
         "wall.bmp", "wall.bmp: is the output file too, and an input is never overwritten"},
        {"encode: the output is the picture by another path", QM5_CMD_BIN, {"encode", "wall.bmp", "-o", "./wall.bmp"},
         picture, "wall.bmp", "is the output file too"},
#if defined(QM5_TEST_POSIX)  // symbolic links need privileges on Windows
        {"decode: the output is a symbolic link to the texture", QM5_CMD_BIN, {"decode", "wall.qm5", "-o", "link.bmp"},
         [&](const test::TempDir& d) {
             texture(d);
             fs::create_symlink("wall.qm5", d / "link.bmp");
         },
         "wall.qm5", "link.bmp: is the texture being decoded, and an input is never overwritten"},
#endif
        {"decode --all: one of the outputs is the texture", QM5_CMD_BIN, {"decode", "wall.qm5", "--all"},
         [&](const test::TempDir& d) {
             texture(d);
             fs::create_hard_link(d / "wall.qm5", d / "wall-0.bmp");
         },
         "wall.qm5", "wall-0.bmp: is the texture being decoded"},
#if defined(QM5_TEST_POSIX)
        {"qm5_test: its BMP leads to a texture", QM5_TEST_BIN, {},
         [&](const test::TempDir& d) {
             texture(d);
             fs::rename(d / "wall.qm5", d / "pcx_compr.qm5");
             fs::create_symlink("pcx_compr.qm5", d / "qm5.bmp");
             fs::create_symlink("pcx_compr.qm5", d / "qm5_compr.bmp");
         },
         "pcx_compr.qm5", "qm5_test: qm5_compr.bmp: is a texture being decoded, and an input is never overwritten"},
#endif
    };
    for (const SameFileCase& c : cases) {
        test::TempDir dir;
        c.setUp(dir);
        const Bytes before = test::readFile(dir / c.input);
        const auto names = namesIn(dir.path());
        const auto r = test::runProgram(c.program, c.args, dir.path());
        EXPECT_EQ(r.exitCode, 1) << c.what << ": got " << r.exitCode << "\n" << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << c.what << ": got\n" << r.out << r.err;
        EXPECT_EQ(test::readFile(dir / c.input), before) << c.what << ": the input changed";
        EXPECT_EQ(namesIn(dir.path()), names) << c.what << ": files were added or removed";
    }
}

#if defined(QM5_TEST_POSIX)
// Signals, permission bits and symbolic links are POSIX only, and Windows
// limits a whole path to 260 characters, shorter than a temporary folder
// plus a name of 255.

// A run stopped by SIGINT, SIGTERM or SIGHUP while writing ends as the
// signal ends a program, with the old texture kept and no temporary left.
TEST(OutputSafety, StoppingSignalsRemoveTheTemporary) {
    struct Run {
        int signal;
        const char* program;
        std::vector<std::string> args;
    };
    const Run runs[] = {
        {SIGINT, QM5_MAKER_BIN, {"big.bmp", "c"}},
        {SIGTERM, QM5_CMD_BIN, {"encode", "big.bmp", "-c", "-j", "1"}},
        {SIGHUP, QM5_CMD_BIN, {"encode", "big.bmp", "--best", "-j", "1"}},
    };
    // Random colours leave the minimisers seconds of work after the file is opened.
    const Bytes big = test::bmp24(512, 512, test::randomPixels(512 * 512, 200, 9));
    for (const Run& run : runs) {
        test::TempDir dir;
        test::writeFile(dir / "big.bmp", big);
        test::writeText(dir / "big.qm5", "old texture");
        const auto names = namesIn(dir.path());
        bool sent = false;
        test::RunLimits limits;
        limits.whileRunning = [&](int pid) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!sent && std::chrono::steady_clock::now() < deadline) {
                for (const auto& name : namesIn(dir.path())) {
                    if (name.rfind(".qm5-", 0) == 0) sent = ::kill(pid, run.signal) == 0;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        };
        const auto r = test::runProgram(run.program, run.args, dir.path(), "", limits);
        ASSERT_TRUE(sent) << "signal " << run.signal << ": no temporary file appeared\n" << r.out << r.err;
        EXPECT_EQ(r.exitCode, 128 + run.signal) << "signal " << run.signal;
        EXPECT_EQ(test::readFile(dir / "big.qm5"), Bytes({'o', 'l', 'd', ' ', 't', 'e', 'x', 't', 'u', 'r', 'e'}));
        EXPECT_EQ(namesIn(dir.path()), names) << "signal " << run.signal;
    }
}

// Names of 255 characters, the longest a file system takes, are written
// by every program that writes.
TEST(OutputSafety, LongestOutputNamesAreWritten) {
    test::TempDir dir;
    const std::string stem(251, 's');
    test::writeFile(dir / (stem + ".bmp"), wall());
    const auto maker = test::runProgram(QM5_MAKER_BIN, {stem + ".bmp"}, dir.path());
    EXPECT_EQ(maker.exitCode, 0) << maker.out;
    EXPECT_TRUE(test::fileExists(dir / (stem + ".qm5")));
    const std::string other(251, 't');
    const auto encode = test::runProgram(QM5_CMD_BIN, {"encode", stem + ".bmp", "-o", other + ".qm5"}, dir.path());
    EXPECT_EQ(encode.exitCode, 0) << encode.err;
    const auto decode = test::runProgram(QM5_CMD_BIN, {"decode", other + ".qm5", "-o", other + ".bmp"}, dir.path());
    EXPECT_EQ(decode.exitCode, 0) << decode.err;
    EXPECT_EQ(test::readFile(dir / (other + ".bmp")), wall());
}

// A replaced file keeps its permission bits; a symbolic link stays a link
// and its target is replaced, in the target's directory (created when the
// link leads nowhere yet).
TEST(OutputSafety, ReplacedFilesKeepTheirModeAndLinksStayLinks) {
    test::TempDir dir;
    const Bytes texture = makeWallTexture(dir);
    const auto modeOf = [](const fs::path& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st.st_mode & 07777;
    };
    test::writeText(dir / "private.qm5", "old");
    ::chmod((dir / "private.qm5").c_str(), 0600);
    const mode_t oldMask = ::umask(022);
    EXPECT_EQ(test::runProgram(QM5_CMD_BIN, {"encode", "wall.bmp", "-c", "-o", "private.qm5"}, dir.path()).exitCode, 0);
    ::umask(oldMask);
    EXPECT_EQ(modeOf(dir / "private.qm5"), 0600u) << "got mode " << std::oct << modeOf(dir / "private.qm5");
    EXPECT_EQ(test::readFile(dir / "private.qm5"), texture);

    fs::create_directory(dir / "store");
    test::writeText(dir / "store" / "real.qm5", "old");
    fs::create_symlink("store/real.qm5", dir / "link.qm5");
    fs::create_symlink("store/later.qm5", dir / "dangling.qm5");
    for (const char* link : {"link.qm5", "dangling.qm5"}) {
        const auto r = test::runProgram(QM5_CMD_BIN, {"encode", "wall.bmp", "-c", "-o", link}, dir.path());
        EXPECT_EQ(r.exitCode, 0) << link << ": " << r.err;
        EXPECT_TRUE(fs::is_symlink(dir / link)) << link << " was replaced by a plain file";
    }
    EXPECT_EQ(test::readFile(dir / "store" / "real.qm5"), texture);
    EXPECT_EQ(test::readFile(dir / "store" / "later.qm5"), texture);
    EXPECT_EQ(namesIn(dir / "store"), (std::vector<std::string>{"later.qm5", "real.qm5"}));
}

// Standard output closed, full, or named as a file. No file a program opens
// takes the number of a closed descriptor (the maker's texture once
// received its progress lines that way); qm5 says that results were lost;
// a device or standard output by name is written where it is, in full and
// with nothing else.
TEST(OutputSafety, StandardOutputClosedFullOrByName) {
    test::TempDir dir;
    test::writeFile(dir / "wall.bmp", wall());
    test::RunLimits shell;
    shell.hostProgram = true;
    const auto sh = [&](const std::string& script) {
        return test::runProgram("/bin/sh", {"-c", script}, dir.path(), "", shell);
    };
    const std::string maker = test::shellCommand(QM5_MAKER_BIN);
    const std::string qm5 = test::shellCommand(QM5_CMD_BIN);
    auto r = sh(maker + " wall.bmp c <&- >&- 2>&-");
    EXPECT_EQ(r.exitCode, 0);
    r = sh(qm5 + " verify wall.bmp wall.qm5");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;

    const struct {
        const char* redirect;
        const char* reason;
    } outputs[] = {{">&-", "Bad file descriptor"}, {">/dev/full", "No space left on device"}};
    for (const auto& output : outputs) {
        for (const char* command : {" info wall.qm5", " --help", " encode wall.bmp -o w.qm5"}) {
            r = sh(qm5 + command + " " + output.redirect);
            EXPECT_EQ(r.exitCode, 1) << command << " " << output.redirect;
            EXPECT_EQ(r.err, std::string("qm5: standard output: cannot be written (") + output.reason + ")\n")
                << command << " " << output.redirect;
        }
    }

    r = sh(qm5 + " encode wall.bmp -o /dev/null");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = sh(qm5 + " decode wall.qm5 -o /dev/stdout > back.bmp && " + qm5 + " encode wall.bmp -o /dev/stdout | " + qm5 +
           " info - > info.txt");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(test::readFile(dir / "back.bmp"), wall());
    EXPECT_NE(test::readFile(dir / "info.txt").size(), 0u);
}

#endif  // QM5_TEST_POSIX

}  // namespace
}  // namespace qm5
