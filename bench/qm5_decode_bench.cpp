// qm5_decode_bench: how fast a texture loads, as an engine loads it
// (qm5_open_borrowed + qm5_decode_rgba into a buffer it keeps: the file in
// memory is read in place, as libspng reads its buffer), against libspng
// decoding the same picture's optimised 8-bit PNG to RGBA8 and against a
// memcpy of the decoded picture, all in this one process, one thread:
//
//   qm5_decode_bench DIR [--repeat N] [--rounds R]
//
// DIR is made by bench/make_decode_files.sh: per picture NAME (listed in
// DIR/names), NAME.plain.qm5, NAME.c.qm5, NAME.best.qm5 and NAME.png, each
// possibly missing (n/a). A cell is the median over R rounds (default 3)
// of the CPU time of the thread per decode, a round being N decodes
// (default 100, fewer for a decode that takes more than 5 ms, at least 3).
// Every texture must decode to the PNG's pixels and to each other's; a
// difference is reported and the program fails.

#include <spng.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "qm5/qm5.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Settings {
    int repeat = 100;
    int rounds = 3;
};

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

bool readFile(const std::string& path, Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Milliseconds per call of run: the median of the rounds. run returns false
// when it failed; then the result is negative.
double measure(const Settings& settings, const std::function<bool()>& run) {
    const double start = threadSeconds();
    if (!run()) return -1;
    const double once = threadSeconds() - start;
    const int repeat = std::max(3, std::min(settings.repeat, static_cast<int>(0.5 / std::max(once, 1e-9))));
    std::vector<double> rounds;
    for (int r = 0; r < settings.rounds; ++r) {
        const double t0 = threadSeconds();
        for (int k = 0; k < repeat; ++k) {
            if (!run()) return -1;
        }
        rounds.push_back((threadSeconds() - t0) * 1000.0 / repeat);
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

// One open and decode of image 0 into rgba (resized once).
bool decodeTexture(qm5_context* ctx, const Bytes& file, Bytes& rgba, std::string* error = nullptr) {
    qm5_texture* texture = nullptr;
    if (qm5_open_borrowed(ctx, file.data(), file.size(), &texture) != QM5_OK) {
        if (error) *error = qm5_last_message(ctx);
        return false;
    }
    std::size_t size = 0;
    bool ok = qm5_buffer_size(texture, QM5_BUFFER_RGBA, &size) == QM5_OK;
    if (ok && rgba.size() != size) rgba.resize(size);
    ok = ok && qm5_decode_rgba(texture, 0, rgba.data(), rgba.size()) == QM5_OK;
    if (!ok && error) *error = qm5_last_message(ctx);
    qm5_close(texture);
    return ok;
}

bool decodePng(const Bytes& file, Bytes& rgba) {
    spng_ctx* png = spng_ctx_new(0);
    if (png == nullptr) return false;
    std::size_t size = 0;
    bool ok = spng_set_png_buffer(png, file.data(), file.size()) == 0 &&
              spng_decoded_image_size(png, SPNG_FMT_RGBA8, &size) == 0;
    if (ok && rgba.size() != size) rgba.resize(size);
    ok = ok && spng_decode_image(png, rgba.data(), rgba.size(), SPNG_FMT_RGBA8, 0) == 0;
    spng_ctx_free(png);
    return ok;
}

std::string machine() {
    std::string model = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    double load = -1;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = -1;
        std::fclose(f);
    }
    utsname u{};
    uname(&u);
    char text[512];
    std::snprintf(text, sizeof text, "%s, %ld cores, %s %s; load average %.2f at the start", model.c_str(),
                  sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release, load);
    return text;
}

std::string cell(double ms) {
    if (ms < 0) return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, ms < 1 ? "%.3f ms" : ms < 10 ? "%.2f ms" : "%.1f ms", ms);
    return text;
}

std::string ratio(double a, double b) {
    if (a < 0 || b <= 0) return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", a / b);
    return text;
}

// The row of one picture; false when its files do not all give the same
// pixels.
bool benchPicture(qm5_context* ctx, const std::string& dir, const std::string& name, const Settings& settings) {
    const char* modes[] = {"plain", "c", "best"};
    double ms[3] = {-1, -1, -1};
    Bytes reference, decoded;
    qm5_info info{};
    bool same = true;
    for (int m = 0; m < 3; ++m) {
        Bytes file;
        if (!readFile(dir + "/" + name + "." + modes[m] + ".qm5", file)) continue;
        std::string error;
        if (!decodeTexture(ctx, file, decoded, &error)) {
            std::fprintf(stderr, "qm5_decode_bench: %s.%s.qm5: %s\n", name.c_str(), modes[m], error.c_str());
            same = false;
            continue;
        }
        if (reference.empty()) {
            reference = decoded;
            qm5_texture* texture = nullptr;
            if (qm5_open(ctx, file.data(), file.size(), &texture) == QM5_OK) qm5_get_info(texture, &info);
            qm5_close(texture);
        } else if (decoded != reference) {
            std::fprintf(stderr, "qm5_decode_bench: %s.%s.qm5 decodes to other pixels\n", name.c_str(), modes[m]);
            same = false;
        }
        ms[m] = measure(settings, [&] { return decodeTexture(ctx, file, decoded); });
    }
    double pngMs = -1;
    Bytes png;
    if (readFile(dir + "/" + name + ".png", png)) {
        Bytes fromPng;
        if (decodePng(png, fromPng) && !reference.empty() && fromPng != reference) {
            std::fprintf(stderr, "qm5_decode_bench: %s.png holds other pixels than the textures\n", name.c_str());
            same = false;
        }
        pngMs = measure(settings, [&] { return decodePng(png, fromPng); });
    }
    Bytes copy(reference.size());
    const double copyMs = reference.empty() ? -1 : measure(settings, [&] {
        std::memcpy(copy.data(), reference.data(), reference.size());
        return copy[0] == reference[0];
    });
    std::printf("| %s (%d x %d, %d colours) | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", name.c_str(), info.width,
                info.height, info.colour_count, cell(ms[0]).c_str(), cell(ms[1]).c_str(), cell(ms[2]).c_str(),
                cell(pngMs).c_str(), cell(copyMs).c_str(), ratio(ms[0], copyMs).c_str(), ratio(ms[0], pngMs).c_str(),
                ratio(ms[1], pngMs).c_str(), ratio(ms[2], pngMs).c_str());
    std::fflush(stdout);
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qm5_decode_bench DIR [--repeat N] [--rounds R]\n");
        return 2;
    }
    const std::string dir = argv[1];
    Settings settings;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--repeat") == 0) settings.repeat = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--rounds") == 0) settings.rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    std::ifstream list(dir + "/names");
    std::vector<std::string> names;
    for (std::string name; std::getline(list, name);) {
        if (!name.empty()) names.push_back(name);
    }
    if (names.empty()) {
        std::fprintf(stderr, "qm5_decode_bench: %s/names lists no picture (run bench/make_decode_files.sh)\n", dir.c_str());
        return 2;
    }
    qm5_context* ctx = nullptr;
    if (qm5_context_new(&ctx) != QM5_OK) return 1;

    std::printf("Machine: %s. Release, one thread; CPU time of the thread per decode, median of %d rounds.\n\n",
                machine().c_str(), settings.rounds);
    std::printf("| picture | plain | -c | --best | PNG-8 (libspng) | memcpy | plain / memcpy | plain / PNG | "
                "-c / PNG | --best / PNG |\n");
    std::printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    bool same = true;
    for (const std::string& name : names) same = benchPicture(ctx, dir, name, settings) && same;
    qm5_context_free(ctx);
    if (!same) std::fprintf(stderr, "qm5_decode_bench: some pixels differ\n");
    return same ? 0 : 1;
}
