#include "tests/test_support.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
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

fs::path sourcePath(const std::string& relative) { return fs::path(QM5_SOURCE_DIR) / relative; }

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("qm5-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

namespace {
std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                     const std::string& input) {
    return runProgram(program, args, cwd, input, RunLimits{});
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                     const std::string& input, const RunLimits& limits) {
    TempDir io;
    const fs::path inPath = io / "stdin";
    const fs::path outPath = io / "stdout";
    const fs::path errPath = io / "stderr";
    writeText(inPath, input);
    RunResult result;
    // Buffered output would otherwise be written twice, once by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const bool pipeOut = limits.maxFileSize != 0;
    int outPipe[2] = {-1, -1};
    if (pipeOut && ::pipe(outPipe) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        for (const int sig : {SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(sig, SIG_DFL);
        if (limits.stdinFd >= 0) {
            if (::dup2(limits.stdinFd, STDIN_FILENO) < 0) ::_exit(126);
        } else if (!std::freopen(inPath.c_str(), "rb", stdin)) {
            ::_exit(126);
        }
        if (pipeOut) {
            if (::dup2(outPipe[1], STDOUT_FILENO) < 0) ::_exit(126);
            ::close(outPipe[0]);
            ::close(outPipe[1]);
        } else if (!std::freopen(outPath.c_str(), "wb", stdout)) {
            ::_exit(126);
        }
        if (!std::freopen(errPath.c_str(), "wb", stderr)) ::_exit(126);
        if (limits.maxFileSize != 0) {
            const rlimit size{static_cast<rlim_t>(limits.maxFileSize), static_cast<rlim_t>(limits.maxFileSize)};
            if (::setrlimit(RLIMIT_FSIZE, &size) != 0) ::_exit(126);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (limits.whileRunning) limits.whileRunning(static_cast<int>(pid));
    std::string piped;
    if (pipeOut) {
        ::close(outPipe[1]);
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(outPipe[0], buffer, sizeof buffer);
            if (got > 0) piped.append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR) break;
        }
        ::close(outPipe[0]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = pipeOut ? piped : slurp(outPath);
    result.err = slurp(errPath);
    return result;
}

}  // namespace qm5::test
