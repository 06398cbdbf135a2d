#pragma once
// Helpers shared by the tests: files, temporary directories, running the
// built programs, hex dumps for "got X, want Y" messages.

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

// Runs program with args in directory cwd; standard input is the given text
// (empty: at its end at once).
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& cwd, const std::string& input = "");

// Resource limits and plumbing of the child. Every signal starts with its
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
};
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& cwd, const std::string& input, const RunLimits& limits);

}  // namespace qm5::test
