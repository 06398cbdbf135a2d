#pragma once
// Helpers shared by the tests: files, temporary directories, running the
// built programs, hex dumps for "got X, want Y" messages.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "picture/picture.hpp"

namespace qm5::test {

using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const Bytes& bytes);
void writeText(const std::filesystem::path& path, const std::string& text);
bool fileExists(const std::filesystem::path& path);

// "00 02 03 01 08"
std::string hex(const Bytes& bytes);
std::string hex(const std::uint8_t* data, std::size_t size);
Bytes fromHex(const std::string& text);

// Little-endian stores into b at offset at, which must lie inside b.
void put16(Bytes& b, std::size_t at, std::uint32_t v);
void put32(Bytes& b, std::size_t at, std::uint32_t v);

// A 24-bit BMP file of the picture, as qm5_test writes it; its pixels read
// back as the same values. The second form makes the picture from pixels.
Bytes bmp24(const Picture& picture);
Bytes bmp24(std::int32_t width, std::int32_t height, const std::vector<std::uint32_t>& pixels);

// Source tree path, e.g. sourcePath("tests/fixtures/x.bmp").
std::filesystem::path sourcePath(const std::string& relative);

// A fresh empty directory, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

struct RunResult {
    int exitCode = -1;
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error
};

// How long a program a test starts may run. One still running then is
// killed, and the run throws std::runtime_error naming the program and its
// arguments: the test fails at once instead of waiting for ctest's timeout.
inline constexpr std::chrono::seconds kProgramDeadline{60};

// Runs program with args in directory cwd; standard input is the given text
// (empty: at its end at once). The program starts through the build's
// launcher (tests/program_launcher.hpp.in), as the tests themselves do, and
// may run for kProgramDeadline.
// Output is read back as text: where the C library writes "\n" as "\r\n"
// (Windows), each "\r\n" becomes "\n" again, so that expected texts are
// the same everywhere and stay exact to the byte.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& cwd, const std::string& input = "");

#if !defined(_WIN32)
// Resource limits, signals, permission bits and fork are POSIX only; the
// tests that need them are compiled without this.
#define QM5_TEST_POSIX 1
#endif

// Resource limits and plumbing of the child, POSIX only: Windows has no
// file size limit for a process, and runProgram there throws
// std::logic_error when one is asked for. Every signal starts with its
// default action, so that a program that must ignore one (SIGXFSZ) has to
// do it itself.
struct RunLimits {
    // Largest file the program may write (RLIMIT_FSIZE, as `ulimit -f`), in
    // bytes; 0 = unlimited. Standard output then goes through a pipe, so
    // that the limit binds only the files the program writes (standard
    // error still goes to a file).
    std::uint64_t maxFileSize = 0;
    // Standard input from this descriptor instead of the input text.
    int stdinFd = -1;
    // Called in the parent once the child runs, before it is waited for.
    std::function<void(int pid)> whileRunning;
    // A program of the machine (a shell), started without the build's launcher.
    bool hostProgram = false;
    // How long the program may run (on Windows too).
    std::chrono::milliseconds deadline = kProgramDeadline;
};

#if defined(QM5_TEST_POSIX)
// Waits at most deadline for the child pid to end and returns its wait
// status. A child still running then is killed, with its process group
// when it leads one, and std::runtime_error names it as what.
int waitWithin(int pid, const std::string& what, std::chrono::milliseconds deadline = kProgramDeadline);
#endif

// A built program as a shell command word: the launcher's words and the
// program's path, each quoted, for scripts run with hostProgram.
std::string shellCommand(const std::string& program);
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& cwd, const std::string& input, const RunLimits& limits);

// Runs program with its standard error on a new terminal (a raw
// pseudo-terminal: the bytes arrive as written), and its standard output
// there too when outputToo, else in a file; standard input is empty. err
// holds what the terminal received; seconds the time the run took. The
// program may run for kProgramDeadline, as with runProgram.
struct TerminalRun : RunResult {
    double seconds = 0;
};
TerminalRun runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& cwd, bool outputToo = false);

}  // namespace qm5::test
