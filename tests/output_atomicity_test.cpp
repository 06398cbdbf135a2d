// Output atomicity of the built programs under injected failures: whatever
// stops a run, the file it would have replaced stays byte for byte (or
// stays absent), no temporary file is left beside it, and the exit status
// is 1. A file size limit stops the programs with SIGXFSZ unless they
// ignore it themselves (the runner starts them with its default action).
// The tests run as root in CI, where permission bits alone do not stop a
// write; the faults used are those that stop root too.
#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <set>

#include "tests/synthetic_picture.hpp"
#include "tests/test_support.hpp"

#if defined(QM5_TEST_POSIX)
#include <unistd.h>
#endif

namespace qm5 {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

// Two colours by the parity of the pixel position: no two positions of one
// colour are neighbours, so the minimiser has nothing to merge (fast) and
// the compressed texture is still several KiB.
Bytes parityBmp24(std::int32_t w, std::int32_t h) {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = (std::popcount(i) & 1) != 0 ? 0xFFFFFF : 0x102030;
    return test::bmp24(w, h, pixels);
}

std::set<std::string> namesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

std::string join(const std::set<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += (s.empty() ? "" : " ") + n;
    return s;
}

const std::string kOld = "old texture, must survive";

struct Fault {
    const char* what;
    std::vector<std::string> args;
    std::function<void(const test::TempDir&)> setUp;  // pictures, old output, the fault
    fs::path output;                                  // relative to the directory
    test::RunLimits limits;
    const char* program = QM5_MAKER_BIN;
};

// The textures of the 64 x 64 pictures take more than 1 KiB, plain or
// compressed, so a 1 KiB file size limit stops every one of them.
constexpr std::uint64_t kSizeLimit = 1024;
const test::RunLimits kLimited = [] {
    test::RunLimits limits;
    limits.maxFileSize = kSizeLimit;
    return limits;
}();

void writePictures(const test::TempDir& dir) {
    test::writeFile(dir / "wall.bmp", parityBmp24(64, 64));
    test::writeFile(dir / "other.bmp", test::bmp24(64, 64, test::randomPixels(64 * 64, 3, 8)));
}

std::vector<Fault> faults() {
    std::vector<Fault> f;
    f.push_back({"destination is a directory", {"wall.bmp"},
                 [](const test::TempDir& d) {
                     writePictures(d);
                     fs::create_directory(d / "wall.qm5");
                 },
                 "wall.qm5", {}});
    f.push_back({"old texture is read-only", {"wall.bmp", "c"},
                 [](const test::TempDir& d) {
                     writePictures(d);
                     test::writeText(d / "wall.qm5", kOld);
                     fs::permissions(d / "wall.qm5", fs::perms::owner_read | fs::perms::group_read);
                 },
                 "wall.qm5", {}});
#if defined(QM5_TEST_POSIX)
    // A process file size limit (RLIMIT_FSIZE) has no Windows counterpart.
    f.push_back({"file size limit, plain, over an old texture", {"wall.bmp"},
                 [](const test::TempDir& d) {
                     writePictures(d);
                     test::writeText(d / "wall.qm5", kOld);
                 },
                 "wall.qm5", kLimited});
    f.push_back({"file size limit, compressed, no old texture", {"wall.bmp", "c"}, writePictures, "wall.qm5",
                 kLimited});
    f.push_back({"file size limit, list of two", {"list.txt"},
                 [](const test::TempDir& d) {
                     writePictures(d);
                     test::writeText(d / "list.txt", "2\nwall.bmp 0\nother.bmp 1\n");
                     test::writeText(d / "list.qm5", kOld);
                 },
                 "list.qm5", kLimited});
#endif
    f.push_back({"second picture of the list is refused", {"list.txt", "c"},
                 [](const test::TempDir& d) {
                     writePictures(d);
                     test::writeText(d / "bad.bmp", "BM and nothing a reader wants");
                     test::writeText(d / "list.txt", "2\nwall.bmp 0\nbad.bmp 0\n");
                     test::writeText(d / "list.qm5", kOld);
                 },
                 "list.qm5", {}});
    f.push_back({"second picture of the list is missing", {"list.txt"},
                 [](const test::TempDir& d) {
                     writePictures(d);
                     test::writeText(d / "list.txt", "2\nwall.bmp 0\nmissing.bmp 0\n");
                 },
                 "list.qm5", {}});
    const auto texture = [](const test::TempDir& d) {
        writePictures(d);
        ASSERT_EQ(test::runProgram(QM5_MAKER_BIN, {"wall.bmp"}, d.path()).exitCode, 0);
        test::writeText(d / "out.bmp", kOld);
    };
    f.push_back({"qm5 encode, file size limit", {"encode", "wall.bmp", "-o", "out.qm5"},
                 [](const test::TempDir& d) {
                     writePictures(d);
                     test::writeText(d / "out.qm5", kOld);
                 },
                 "out.qm5", kLimited, QM5_CMD_BIN});
    f.push_back({"qm5 decode, file size limit", {"decode", "wall.qm5", "-o", "out.bmp"}, texture, "out.bmp",
                 kLimited, QM5_CMD_BIN});
    f.push_back({"qm5_test, file size limit", {},
                 [&](const test::TempDir& d) {
                     texture(d);
                     fs::rename(d / "wall.qm5", d / "pcx_compr.qm5");
                     fs::rename(d / "out.bmp", d / "qm5_compr.bmp");
                 },
                 "qm5_compr.bmp", kLimited, QM5_TEST_BIN});
    return f;
}

void expectUntouched(const Fault& f, const test::TempDir& dir, const std::set<std::string>& before,
                     bool hadOld, bool wasDirectory, const test::RunResult& r) {
    EXPECT_EQ(r.exitCode, 1) << f.what << ": got exit status " << r.exitCode << ", want 1\n" << r.out;
    const fs::path out = dir / f.output.string();
    if (wasDirectory) {
        EXPECT_TRUE(fs::is_directory(out)) << f.what;
        EXPECT_TRUE(fs::is_empty(out)) << f.what;
    } else if (hadOld) {
        EXPECT_EQ(test::readFile(out), Bytes(kOld.begin(), kOld.end())) << f.what << ": old texture changed";
    } else {
        EXPECT_FALSE(test::fileExists(out)) << f.what << ": a partial texture was left";
    }
    const auto after = namesIn(dir.path());
    EXPECT_EQ(after, before) << f.what << ": got files {" << join(after) << "}, want {" << join(before) << "}";
}

TEST(OutputAtomicity, InjectedFailuresKeepTheOldOutputAndLeaveNoTemporary) {
    for (const Fault& f : faults()) {
        test::TempDir dir;
        f.setUp(dir);
        const fs::path out = dir / f.output.string();
        const bool wasDirectory = fs::is_directory(out);
        const bool hadOld = !wasDirectory && test::fileExists(out);
        const auto before = namesIn(dir.path());
        const auto r = test::runProgram(f.program, f.args, dir.path(), "", f.limits);
        expectUntouched(f, dir, before, hadOld, wasDirectory, r);

        if (f.limits.maxFileSize != 0) {
            // The same run without the limit writes the file: the limit
            // was the fault.
            const auto ok = test::runProgram(f.program, f.args, dir.path());
            EXPECT_EQ(ok.exitCode, 0) << f.what << " without the limit\n" << ok.out;
            EXPECT_GT(test::readFile(out).size(), kSizeLimit) << f.what;
        }
    }
}

#if defined(QM5_TEST_POSIX)
// POSIX only: a file size limit, and permission bits on a directory (a
// Windows directory's read-only attribute does not stop writes into it).
TEST(OutputAtomicity, FileSizeLimitIsReportedAsAWriteFailure) {
    test::TempDir dir;
    writePictures(dir);
    const auto r = test::runProgram(QM5_MAKER_BIN, {"wall.bmp"}, dir.path(), "", kLimited);
    EXPECT_NE(r.out.find(" ERROR : Cannot write destination file !"), std::string::npos) << r.out;
    EXPECT_EQ(r.exitCode, 1);
}

// Only where permission bits bind (not as root): a directory that cannot be
// written keeps the old texture and takes no temporary file.
TEST(OutputAtomicity, UnwritableDirectoryWhenNotRoot) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into any directory";
    test::TempDir dir;
    writePictures(dir);
    test::writeText(dir / "wall.qm5", kOld);
    const auto before = namesIn(dir.path());
    fs::permissions(dir.path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const auto r = test::runProgram(QM5_MAKER_BIN, {"wall.bmp"}, dir.path());
    fs::permissions(dir.path(), fs::perms::owner_write, fs::perm_options::add);
    const Fault f{"unwritable directory", {}, {}, "wall.qm5", {}};
    expectUntouched(f, dir, before, true, false, r);
}
#endif

}  // namespace
}  // namespace qm5
