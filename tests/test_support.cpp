// Files, bytes and temporary directories for the tests; starting the built
// programs is in run_program.cpp.
#include "tests/test_support.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/byte_reader.hpp"
#include "picture/picture_loader.hpp"

namespace qm5::test {

namespace fs = std::filesystem;

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeText(const fs::path& path, const std::string& text) {
    writeFile(path, Bytes(text.begin(), text.end()));
}

void put16(Bytes& b, std::size_t at, std::uint32_t v) { storeU16(b.data() + at, v); }
void put32(Bytes& b, std::size_t at, std::uint32_t v) { storeU32(b.data() + at, v); }

Bytes bmp24(const Picture& picture) {
    HeapArray<std::uint8_t> out;
    EXPECT_TRUE(PictureLoader::encodeBmp24(picture, out));
    return Bytes(out.begin(), out.end());
}

Bytes bmp24(std::int32_t width, std::int32_t height, const std::vector<std::uint32_t>& pixels) {
    Picture p;
    EXPECT_TRUE(p.allocate(width, height));
    for (std::size_t i = 0; i < pixels.size() && i < p.pixels.size(); ++i) p.pixels[i] = pixels[i];
    return bmp24(p);
}

bool fileExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string hex(const std::uint8_t* data, std::size_t size) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < size; ++i) {
        if (i) s += ' ';
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

std::string hex(const Bytes& bytes) { return hex(bytes.data(), bytes.size()); }

Bytes fromHex(const std::string& text) {
    Bytes out;
    int nibble = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    return out;
}

// Absolute from the start: on Windows a path without a drive letter means
// the current drive, and a program started in a temporary directory on
// another drive would look for the sources there.
fs::path sourcePath(const std::string& relative) {
    static const fs::path root = fs::absolute(fs::path(QM5_SOURCE_DIR));
    return root / relative;
}

namespace {
#if defined(_WIN32)
// The test program's own output stays as written: ctest reads the test
// list from it line by line, and text mode would end each name with '\r'.
[[maybe_unused]] const bool kBinaryStandardOutput = ::_setmode(::_fileno(stdout), _O_BINARY) != -1;
#endif

int processId() {
#if defined(_WIN32)
    return ::_getpid();
#else
    return static_cast<int>(::getpid());
#endif
}
}  // namespace

// A directory of that name may be left from an earlier process of the same
// id (Wine reuses small ids): it is passed over, never taken over.
TempDir::TempDir() {
    static std::atomic<int> counter{0};
    const fs::path base = fs::temp_directory_path();
    do {
        path_ = base / ("qm5-test-" + std::to_string(processId()) + "-" + std::to_string(counter.fetch_add(1)));
    } while (!fs::create_directory(path_));
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
    if (!ec) return;
    // Windows deletes no read-only file (tests make some): unprotect, retry.
    std::error_code ignored;
    for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
}

}  // namespace qm5::test
