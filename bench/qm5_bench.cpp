// qm5_bench: times whole conversions (palette, mipmaps, writing) on the
// benchmark pictures and prints a table of wall time, peak memory, output
// size and the speed-up of the fast engine over the reference one.
//
//   qm5_bench PICTURE_DIR [--reference-limit SECONDS] [--threads N] [--cases 1,3]
//
// PICTURE_DIR is made by bench/make_pictures.sh. Every measurement runs in a
// child process of its own, so its peak resident memory is its own.

#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "maker/maker_app.hpp"

namespace {

struct Case {
    const char* name;
    const char* input;
    bool compress;
};

const Case kCases[] = {
    {"64 x 64, 40 colours", "rose64.bmp", true},
    {"256 x 256 photo, 256 colours", "rose256.bmp", true},
    {"512 x 512, 256 colours", "logo512.bmp", true},
    {"list of four 256 x 256", "four.lst", true},
    {"1024 x 1024, 256 colours", "logo1024.bmp", true},
    {"1024 x 1024, ~30000 colours, plain", "plasma1024.bmp", false},
};

struct Measurement {
    bool finished = false;
    double seconds = 0;
    double peakMb = 0;
    long long bytes = -1;
};

Measurement measure(const std::string& dir, const Case& c, qm5::MinimiserEngine engine, unsigned threads,
                    unsigned limitSeconds) {
    Measurement m;
    const std::string output = "/tmp/qm5_bench_" + std::to_string(::getpid()) + ".qm5";
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (limitSeconds > 0) ::alarm(limitSeconds);
        if (::chdir(dir.c_str()) != 0) ::_exit(3);
        qm5::Console silent(nullptr, nullptr);
        qm5::MakerApp app(silent);
        app.writeOptions().engine = engine;
        app.writeOptions().threads = threads;
        app.convert(c.input, c.compress);
        if (!app.textureWritten()) ::_exit(2);
        // convert names the output after the input; move it out of the way.
        std::string produced = c.input;
        produced = produced.substr(0, produced.rfind('.')) + ".qm5";
        if (std::rename(produced.c_str(), output.c_str()) != 0) ::_exit(4);
        ::_exit(0);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    m.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (m.finished) {
        if (std::FILE* f = std::fopen(output.c_str(), "rb")) {
            std::fseek(f, 0, SEEK_END);
            m.bytes = std::ftell(f);
            std::fclose(f);
        }
        std::remove(output.c_str());
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qm5_bench PICTURE_DIR [--reference-limit SECONDS] [--threads N]\n");
        return 2;
    }
    const std::string dir = argv[1];
    unsigned referenceLimit = 120;
    unsigned threads = std::thread::hardware_concurrency();
    std::string cases;  // 1-based case numbers to run; empty: all
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--cases") == 0) {
            cases.assign(1, ',');
            cases.append(argv[i + 1]).push_back(',');
        }
        if (std::strcmp(argv[i], "--reference-limit") == 0) referenceLimit = static_cast<unsigned>(std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--threads") == 0) threads = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
    std::printf("| picture | mode | fast: wall s | fast: peak MB | bytes | reference: wall s | speed-up |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|\n");
    int number = 0;
    for (const Case& c : kCases) {
        ++number;
        std::string key(1, ',');
        key.append(std::to_string(number)).push_back(',');
        if (!cases.empty() && cases.find(key) == std::string::npos) continue;
        const Measurement fast = measure(dir, c, qm5::MinimiserEngine::fast, threads, 0);
        Measurement reference;
        if (c.compress && referenceLimit > 0)
            reference = measure(dir, c, qm5::MinimiserEngine::reference, 1, referenceLimit);
        char refText[64] = "-";
        char speedText[64] = "-";
        if (c.compress && referenceLimit > 0) {
            if (reference.finished) {
                std::snprintf(refText, sizeof refText, "%.2f", reference.seconds);
                std::snprintf(speedText, sizeof speedText, "%.0fx", reference.seconds / fast.seconds);
                if (reference.bytes != fast.bytes) std::snprintf(speedText, sizeof speedText, "BYTES DIFFER");
            } else {
                std::snprintf(refText, sizeof refText, "> %u", referenceLimit);
                std::snprintf(speedText, sizeof speedText, "> %.0fx", referenceLimit / fast.seconds);
            }
        }
        std::printf("| %s | %s | %s | %.1f | %lld | %s | %s |\n", c.name, c.compress ? "compressed" : "plain",
                    fast.finished ? std::to_string(fast.seconds).substr(0, 5).c_str() : "failed", fast.peakMb,
                    fast.bytes, refText, speedText);
        std::fflush(stdout);
    }
    return 0;
}
