// qm5_bench: times whole conversions (pictures, palette, compression) on the
// benchmark pictures and prints a table of CPU seconds (user + system),
// wall seconds, peak memory, the engine that ran and the texture's size.
//
//   qm5_bench PICTURE_DIR [--threads N] [--cases 1,3] [--engine auto|table|top-down]
//             [--reference-limit SECONDS]
//
// PICTURE_DIR is made by bench/make_pictures.sh. Every measurement runs in a
// child process of its own, so its CPU time and peak resident memory are
// its own. "-c" is qm5_maker's compression (qm5 encode -c) through
// PictureCompressor, the records counted instead of written; "--best" runs
// the one encode entry point as qm5 encode --best does (palette order
// search included, at --effort 0 and at the default effort), the texture
// counted instead of written. With --reference-limit, the -c cases also run
// the reference minimiser (qm5_maker's literal pipeline) for at most that
// long.

#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "maker/colour_table.hpp"
#include "maker/console.hpp"
#include "maker/encoder.hpp"
#include "maker/file_list.hpp"
#include "maker/input_pictures.hpp"
#include "maker/maker_app.hpp"
#include "maker/palette.hpp"
#include "minimiser/palette_order.hpp"
#include "minimiser/picture_compressor.hpp"
#include "picture/picture_loader.hpp"
#include "picture/picture_reader.hpp"
#include "tests/reference/function_minimiser.hpp"
#include "texture/texture_format.hpp"

namespace {

enum class Mode { plain, compressed, best, autoBest };

// The effort of the default --best.
constexpr int kDefault = -1;

struct Case {
    const char* name;
    const char* input;
    Mode mode;
    int effort = 0;  // --best: the palette order search's effort (kDefault: the default)
};

// Every --best picture twice: at --effort 0 (ascending order) and at the
// default effort, which is to cost at most twice as much.
const Case kCases[] = {
    {"64 x 64, 40 colours", "rose64.bmp", Mode::compressed},
    {"256 x 256 photo, 256 colours", "rose256.bmp", Mode::compressed},
    {"512 x 512, 256 colours", "logo512.bmp", Mode::compressed},
    {"list of four 256 x 256", "four.lst", Mode::compressed},
    {"1024 x 1024 logo, 256 colours", "logo1024.bmp", Mode::compressed},
    {"1024 x 1024, ~30000 colours", "plasma1024.bmp", Mode::plain},
    {"1024 x 1024, ~30000 colours", "plasma1024.bmp", Mode::compressed},
    {"1024 x 1024 flat, 16 colours", "flat1024.bmp", Mode::compressed},
    {"1024 x 1024 cartoon, 64 colours", "cartoon1024.bmp", Mode::compressed},
    {"1024 x 1024 photo, 256 colours", "photo1024.bmp", Mode::compressed},
    {"2048 x 2048 flat, 16 colours", "flat2048.bmp", Mode::compressed},
    {"2048 x 2048 cartoon, 64 colours", "cartoon2048.bmp", Mode::compressed},
    {"2048 x 2048 photo, 256 colours", "photo2048.bmp", Mode::compressed},
    {"4096 x 4096 flat, 16 colours", "flat4096.bmp", Mode::compressed},
    {"64 x 64, 40 colours", "rose64.bmp", Mode::best, 0},
    {"64 x 64, 40 colours", "rose64.bmp", Mode::best, kDefault},
    {"256 x 256 photo, 256 colours", "rose256.bmp", Mode::best, 0},
    {"256 x 256 photo, 256 colours", "rose256.bmp", Mode::best, kDefault},
    {"512 x 512, 256 colours", "logo512.bmp", Mode::best, 0},
    {"512 x 512, 256 colours", "logo512.bmp", Mode::best, kDefault},
    {"list of four 256 x 256", "four.lst", Mode::best, 0},
    {"list of four 256 x 256", "four.lst", Mode::best, kDefault},
    {"1024 x 1024 logo, 256 colours", "logo1024.bmp", Mode::best, 0},
    {"1024 x 1024 logo, 256 colours", "logo1024.bmp", Mode::best, kDefault},
    {"1024 x 1024 flat, 16 colours", "flat1024.bmp", Mode::best, 0},
    {"1024 x 1024 flat, 16 colours", "flat1024.bmp", Mode::best, kDefault},
    {"1024 x 1024 cartoon, 64 colours", "cartoon1024.bmp", Mode::best, 0},
    {"1024 x 1024 cartoon, 64 colours", "cartoon1024.bmp", Mode::best, kDefault},
    {"1024 x 1024 photo, 256 colours", "photo1024.bmp", Mode::best, 0},
    {"1024 x 1024 photo, 256 colours", "photo1024.bmp", Mode::best, kDefault},
    {"2048 x 2048 flat, 16 colours", "flat2048.bmp", Mode::best, 0},
    {"2048 x 2048 flat, 16 colours", "flat2048.bmp", Mode::best, kDefault},
    {"2048 x 2048 cartoon, 64 colours", "cartoon2048.bmp", Mode::best, 0},
    {"2048 x 2048 cartoon, 64 colours", "cartoon2048.bmp", Mode::best, kDefault},
    {"2048 x 2048 photo, 256 colours", "photo2048.bmp", Mode::best, 0},
    {"2048 x 2048 photo, 256 colours", "photo2048.bmp", Mode::best, kDefault},
    {"4096 x 4096 flat, 16 colours", "flat4096.bmp", Mode::best, 0},
    {"4096 x 4096 flat, 16 colours", "flat4096.bmp", Mode::best, kDefault},
    {"4096 x 4096 cartoon, 64 colours", "cartoon4096.bmp", Mode::best, 0},
    {"4096 x 4096 cartoon, 64 colours", "cartoon4096.bmp", Mode::best, kDefault},
    {"4096 x 4096 photo, 256 colours", "photo4096.bmp", Mode::best, 0},
    {"4096 x 4096 photo, 256 colours", "photo4096.bmp", Mode::best, kDefault},
    {"4096 x 4096 photo, 256 colours", "photo4096.bmp", Mode::autoBest, kDefault},
};

std::string modeText(const Case& c) {
    if (c.mode == Mode::plain) return "plain";
    if (c.mode == Mode::compressed) return "-c";
    std::string text = c.mode == Mode::autoBest ? "--auto --best" : "--best";
    if (c.effort != kDefault) text += " --effort " + std::to_string(c.effort);
    return text;
}

const char* engineText(qm5::MinimiserEngine engine) {
    switch (engine) {
        case qm5::MinimiserEngine::allColours: return "table";
        case qm5::MinimiserEngine::topDown: return "top-down";
        case qm5::MinimiserEngine::automatic: break;
    }
    return "-";
}

struct Measurement {
    bool finished = false;  // the child ended normally
    double cpu = 0;
    double wall = 0;
    double peakMb = 0;
    std::string result;  // bytes, or why the texture was refused
    std::string engine = "-";
};

// Counts the bytes of a texture instead of keeping them.
class CountingOutput final : public qm5::OutputSink {
public:
    bool write(const void*, std::size_t size) override {
        bytes += size;
        return true;
    }
    bool commit() override { return true; }
    void discard() override {}
    std::uint64_t bytes = 0;
};

// --best and --auto --best: the one encode entry point, as qm5 encode calls it.
void runBest(const Case& c, qm5::InputPictures& pictures, unsigned threads, std::FILE* report) {
    CountingOutput out;
    qm5::EncodeRequest request;
    request.pictures = pictures.all();
    request.mode = qm5::EncodeMode::best;
    request.smallest = c.mode == Mode::autoBest;
    request.effort = c.effort == kDefault ? qm5::kDefaultOrderEffort : static_cast<unsigned>(c.effort);
    request.threads = threads;
    request.sink = &out;
    const qm5::EncodeResult result = qm5::encodeTexture(request);
    const char* engine = request.effort > 0 ? "top-down + cover + order" : "top-down + cover";
    if (result.ok() && result.compressed) {
        std::fprintf(report, "%llu|%s", static_cast<unsigned long long>(out.bytes), engine);
    } else if (result.ok()) {
        std::fprintf(report, "plain %llu (%s)|%s", static_cast<unsigned long long>(out.bytes),
                     result.recordTooLong ? "record > 65535 bytes" : result.tooLarge ? "too large" : "smaller",
                     engine);
    } else if (result.error == qm5::EncodeError::recordTooLong) {
        std::fprintf(report, "refused: colour %u > 65535 bytes|%s", static_cast<unsigned>(result.failedColour),
                     engine);
    } else {
        std::fprintf(report, "refused: %s|%s", result.error == qm5::EncodeError::tooLarge ? "too large" : "memory",
                     engine);
    }
}

// In the child: the texture of the case through the library, its result
// written to `report` as "result|engine".
int runCase(const Case& c, unsigned threads, qm5::MinimiserEngine engine, bool reference, std::FILE* report) {
    qm5::Console silent(nullptr, nullptr);
    if (c.mode == Mode::plain) {
        qm5::MakerApp app(silent);
        app.setThreads(threads);
        app.convert(c.input, false);
        std::fprintf(report, "%s|-", app.textureWritten() ? "written" : "failed");
        return 0;
    }
    qm5::PictureLoader loader(nullptr);
    qm5::ClassicPictureReader reader(loader);
    qm5::FileList files;
    qm5::InputPictures pictures;
    if (qm5::loadInputPictures(silent, reader, c.input, files, pictures, nullptr) != qm5::InputError::none) return 3;
    if (c.mode != Mode::compressed) {
        runBest(c, pictures, threads, report);
        return 0;
    }
    qm5::ColourTable colours;
    if (qm5::buildPalette(silent, pictures.all(), colours) != qm5::PaletteResult::done) return 3;
    const auto colourCount = static_cast<std::uint32_t>(colours.count());
    std::uint64_t bytes = qm5::kTextureHeaderSize + qm5::kPaletteEntrySize * std::uint64_t{colourCount};
    qm5::CompressOptions options;
    options.threads = threads;
    const qm5::PictureCompressor::Sink count = [&](std::uint32_t, std::span<const std::uint8_t> record) {
        bytes += record.size();
        return true;
    };
    std::string used = reference ? "reference" : "-";
    for (const qm5::Picture& picture : pictures.all()) {
        qm5::MinimiseStatus status;
        std::uint32_t failed = 0;
        if (reference) {
            status = qm5::referenceRecords(picture.pixels.data(), picture.pixels.size(), colourCount, count, failed);
        } else {
            qm5::PictureCompressor maker;
            qm5::FastTuning tuning;
            tuning.engine = engine;
            maker.setTuningForTesting(tuning);
            status = maker.compress(picture.pixels.data(), picture.pixels.size(), colourCount, options, count);
            failed = maker.failedColour();
            used = engineText(maker.engineUsed());
        }
        if (status == qm5::MinimiseStatus::recordTooLong) {
            std::fprintf(report, "refused: colour %u > 65535 bytes|%s", static_cast<unsigned>(failed), used.c_str());
            return 0;
        }
        if (status != qm5::MinimiseStatus::ok) {
            std::fprintf(report, "refused: memory|%s", used.c_str());
            return 0;
        }
    }
    std::fprintf(report, "%llu|%s", static_cast<unsigned long long>(bytes), used.c_str());
    return 0;
}

Measurement measure(const std::string& dir, const Case& c, unsigned threads, qm5::MinimiserEngine engine,
                    bool reference, unsigned limitSeconds) {
    Measurement m;
    const std::string reportName = "/tmp/qm5_bench_" + std::to_string(::getpid()) + ".txt";
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (limitSeconds > 0) ::alarm(limitSeconds);
        if (::chdir(dir.c_str()) != 0) ::_exit(3);
        std::FILE* report = std::fopen(reportName.c_str(), "w");
        if (report == nullptr) ::_exit(3);
        const int code = runCase(c, threads, engine, reference, report);
        std::fclose(report);
        ::_exit(code);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    m.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::ifstream in(reportName);
    std::string line;
    std::getline(in, line);
    const std::size_t bar = line.find('|');
    if (m.finished && bar != std::string::npos) {
        m.result = line.substr(0, bar);
        m.engine = line.substr(bar + 1);
    } else {
        m.result = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? "stopped at the limit" : "failed";
    }
    std::remove(reportName.c_str());
    return m;
}

// The machine, from uname and /proc/cpuinfo.
std::string machineName() {
    struct utsname u {};
    ::uname(&u);
    std::string cpu = "unknown CPU";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    const double gib = static_cast<double>(pages) * static_cast<double>(pageSize) / (1024.0 * 1024.0 * 1024.0);
    char text[256];
    std::snprintf(text, sizeof text, "%s, %u cores, %.0f GiB, %s %s", cpu.c_str(), std::thread::hardware_concurrency(),
                  gib, u.sysname, u.release);
    return text;
}

double loadAverage() {
    double load = 0;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = 0;
        std::fclose(f);
    }
    return load;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: qm5_bench PICTURE_DIR [--threads N] [--cases 1,3] [--engine auto|table|top-down]"
                     " [--reference-limit SECONDS]\n");
        return 2;
    }
    const std::string dir = argv[1];
    unsigned referenceLimit = 0;
    unsigned threads = std::thread::hardware_concurrency();
    qm5::MinimiserEngine engine = qm5::MinimiserEngine::automatic;
    std::string cases;  // 1-based case numbers to run; empty: all
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--cases") {
            cases.assign(1, ',');
            cases.append(value).push_back(',');
        }
        if (option == "--reference-limit") referenceLimit = static_cast<unsigned>(std::atoi(value.c_str()));
        if (option == "--threads") threads = static_cast<unsigned>(std::atoi(value.c_str()));
        if (option == "--engine") {
            engine = value == "table"      ? qm5::MinimiserEngine::allColours
                     : value == "top-down" ? qm5::MinimiserEngine::topDown
                                           : qm5::MinimiserEngine::automatic;
        }
    }
    std::printf("Machine: %s; %u thread%s; load average %.1f at the start\n\n", machineName().c_str(), threads,
                threads == 1 ? "" : "s", loadAverage());
    std::printf("| # | picture | mode | engine | CPU s | wall s | peak MB | bytes |%s\n",
                referenceLimit > 0 ? " reference CPU s |" : "");
    std::printf("|---:|---|---|---|---:|---:|---:|---:|%s\n", referenceLimit > 0 ? "---:|" : "");
    int number = 0;
    for (const Case& c : kCases) {
        ++number;
        std::string key(1, ',');
        key.append(std::to_string(number)).push_back(',');
        if (!cases.empty() && cases.find(key) == std::string::npos) continue;
        const Measurement m = measure(dir, c, threads, engine, false, 0);
        std::string reference;
        if (referenceLimit > 0 && c.mode == Mode::compressed) {
            const Measurement r = measure(dir, c, 1, engine, true, referenceLimit);
            char text[64];
            if (r.finished) {
                std::snprintf(text, sizeof text, " %.2f |", r.cpu);
            } else {
                std::snprintf(text, sizeof text, " > %u |", referenceLimit);
            }
            reference = text;
        } else if (referenceLimit > 0) {
            reference = " - |";
        }
        std::printf("| %d | %s | %s | %s | %.2f | %.2f | %.0f | %s |%s\n", number, c.name, modeText(c).c_str(),
                    m.engine.c_str(), m.cpu, m.wall, m.peakMb, m.result.c_str(), reference.c_str());
        std::fflush(stdout);
    }
    std::printf("\nLoad average %.1f at the end\n", loadAverage());
    return 0;
}
