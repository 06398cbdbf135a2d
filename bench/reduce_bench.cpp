// qm5_reduce_bench: the colour-reduction library on one picture, and the
// measures of the colour-reduction table (bench/reduce_table.sh).
//
//   qm5_reduce_bench reduce INPUT OUTPUT.bmp [--quality DB] [--colors N] [--dither]
//                    [--matte R,G,B] [-j N] [--encode] [--price]
//   qm5_reduce_bench measure ORIGINAL REDUCED
//
// INPUT and ORIGINAL are PAM (P7, RGB or RGB_ALPHA) or PPM (P6) files of 8
// bits a channel (ImageMagick: convert in.png pam:out.pam); REDUCED is any
// picture the picture library reads (BMP, PCX) or PAM/PPM. `reduce` writes
// the reduced picture as a 24-bit BMP and prints key=value figures: colours
// before and after, PSNR (dB), the CPU seconds of the reduction (user +
// system, this process), and with --encode the bytes and CPU seconds of
// the texture `qm5 encode --auto --best` writes for it (the maker library's
// writeTexture, in memory). --price lets the reduction price its candidates
// with that writer. `measure` prints PSNR, SSIM (mean over the three
// channels of 8 x 8 windows, constants of Wang et al. 2004) and the block
// edge measure (the PSNR of the differences between neighbouring pixels,
// which steps at block edges lower).

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/file_io.hpp"
#include "core/output_sink.hpp"
#include "maker/encoder.hpp"
#include "minimiser/palette_order.hpp"
#include "picture/picture_loader.hpp"
#include "reduce/colour_reduction.hpp"
#include "reduce/picture_error.hpp"

namespace {

using namespace qm5;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A PAM or PPM file of 8-bit channels into a picture: alpha (255 without
// one) in bits 24..31.
bool readNetpbm(const char* name, Picture& out, bool& hasAlpha) {
    std::FILE* f = std::fopen(name, "rb");
    if (f == nullptr) return false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, std::fclose);
    char magic[3] = {};
    if (std::fscanf(f, "%2s", magic) != 1) return false;
    int width = 0, height = 0, depth = 3, maxval = 0;
    if (std::strcmp(magic, "P6") == 0) {
        if (std::fscanf(f, "%d %d %d", &width, &height, &maxval) != 3) return false;
        std::fgetc(f);
    } else if (std::strcmp(magic, "P7") == 0) {
        char key[32];
        while (std::fscanf(f, "%31s", key) == 1 && std::strcmp(key, "ENDHDR") != 0) {
            if (std::strcmp(key, "WIDTH") == 0 && std::fscanf(f, "%d", &width) != 1) return false;
            if (std::strcmp(key, "HEIGHT") == 0 && std::fscanf(f, "%d", &height) != 1) return false;
            if (std::strcmp(key, "DEPTH") == 0 && std::fscanf(f, "%d", &depth) != 1) return false;
            if (std::strcmp(key, "MAXVAL") == 0 && std::fscanf(f, "%d", &maxval) != 1) return false;
        }
        std::fgetc(f);
    } else {
        return false;
    }
    if (maxval != 255 || (depth != 3 && depth != 4) || !out.allocate(width, height)) return false;
    hasAlpha = depth == 4;
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * static_cast<std::size_t>(depth));
    for (int y = 0; y < height; ++y) {
        if (std::fread(row.data(), 1, row.size(), f) != row.size()) return false;
        for (int x = 0; x < width; ++x) {
            const unsigned char* px = &row[static_cast<std::size_t>(x * depth)];
            const std::uint32_t a = depth == 4 ? px[3] : 255;
            out.at(x, y) = px[0] | (std::uint32_t{px[1]} << 8) | (std::uint32_t{px[2]} << 16) | (a << 24);
        }
    }
    return true;
}

bool readAny(const char* name, Picture& out) {
    bool alpha = false;
    if (readNetpbm(name, out, alpha)) {
        for (std::uint32_t& v : out.pixels) v &= 0xFFFFFF;
        return true;
    }
    PictureLoader loader(nullptr);
    return loader.loadAny(name, out) == PictureError::none;
}

// The texture `qm5 encode --auto --best` writes, in memory.
std::uint64_t encodedBytes(std::span<const Picture* const> pictures, std::span<const std::uint32_t> palette,
                           unsigned threads) {
    std::vector<Picture> copies(pictures.size());
    for (std::size_t m = 0; m < pictures.size(); ++m) {
        if (!copies[m].allocate(pictures[m]->width, pictures[m]->height)) return 0;
        std::copy_n(pictures[m]->pixels.data(), pictures[m]->pixels.size(), copies[m].pixels.data());
    }
    MemoryOutput out;
    EncodeRequest request;
    request.pictures = copies;
    request.palette = palette;
    request.reorderPalette = true;
    request.mode = EncodeMode::best;
    request.smallest = true;
    request.effort = kDefaultOrderEffort;
    request.threads = threads;
    request.sink = &out;
    if (!encodeTexture(request).ok()) return 0;
    std::size_t size = 0;
    std::free(out.release(size));
    return size;
}

class EncoderPricer final : public TexturePricer {
public:
    explicit EncoderPricer(std::int32_t width, unsigned threads) : width_(width), threads_(threads) {}
    std::uint64_t price(std::span<const std::uint32_t* const> images, std::uint64_t pixelCount,
                        std::span<const std::uint32_t> palette) override {
        std::vector<Picture> pictures(images.size());
        std::vector<const Picture*> refs;
        for (std::size_t m = 0; m < images.size(); ++m) {
            if (!pictures[m].allocate(width_, static_cast<std::int32_t>(pixelCount / static_cast<std::uint64_t>(width_)))) return 0;
            std::memcpy(pictures[m].pixels.data(), images[m], pixelCount * sizeof(std::uint32_t));
            refs.push_back(&pictures[m]);
        }
        return encodedBytes(refs, palette, threads_);
    }

private:
    std::int32_t width_;
    unsigned threads_;
};

// SSIM of one channel over 8 x 8 windows, every window position.
double ssimChannel(const Picture& a, const Picture& b, int ch) {
    const int w = a.width, h = a.height, n = 8;
    if (w < n || h < n) return 1.0;
    const double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
    // Summed-area tables of x, y, x^2, y^2, xy.
    std::vector<double> t(5 * static_cast<std::size_t>(w + 1) * static_cast<std::size_t>(h + 1));
    const auto at = [&](int k, int x, int y) -> double& { return t[(static_cast<std::size_t>(k) * (h + 1) + y) * (w + 1) + x]; };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double u = (a.at(x, y) >> (8 * ch)) & 0xFF, v = (b.at(x, y) >> (8 * ch)) & 0xFF;
            const double vals[5] = {u, v, u * u, v * v, u * v};
            for (int k = 0; k < 5; ++k) at(k, x + 1, y + 1) = vals[k] + at(k, x, y + 1) + at(k, x + 1, y) - at(k, x, y);
        }
    }
    double sum = 0;
    for (int y = 0; y + n <= h; ++y) {
        for (int x = 0; x + n <= w; ++x) {
            double s[5];
            for (int k = 0; k < 5; ++k) s[k] = (at(k, x + n, y + n) - at(k, x, y + n) - at(k, x + n, y) + at(k, x, y)) / (n * n);
            const double vu = s[2] - s[0] * s[0], vv = s[3] - s[1] * s[1], cov = s[4] - s[0] * s[1];
            sum += (2 * s[0] * s[1] + c1) * (2 * cov + c2) / ((s[0] * s[0] + s[1] * s[1] + c1) * (vu + vv + c2));
        }
    }
    return sum / (static_cast<double>(w - n + 1) * (h - n + 1));
}

// PSNR of the differences between horizontal and vertical neighbours.
double edgePsnr(const Picture& a, const Picture& b) {
    double sum = 0;
    std::uint64_t count = 0;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            for (int d = 0; d < 2; ++d) {
                const int x2 = x + (d == 0), y2 = y + (d == 1);
                if (x2 >= a.width || y2 >= a.height) continue;
                for (int ch = 0; ch < 3; ++ch) {
                    const auto v = [&](const Picture& p, int px, int py) { return static_cast<int>((p.at(px, py) >> (8 * ch)) & 0xFF); };
                    const double e = (v(b, x2, y2) - v(b, x, y)) - (v(a, x2, y2) - v(a, x, y));
                    sum += e * e;
                    ++count;
                }
            }
        }
    }
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * static_cast<double>(count) / sum);
}

int measure(const char* original, const char* reduced) {
    Picture a, b;
    if (!readAny(original, a) || !readAny(reduced, b) || a.width != b.width || a.height != b.height) {
        std::fprintf(stderr, "qm5_reduce_bench: cannot read %s and %s as pictures of one size\n", original, reduced);
        return 1;
    }
    double sse = 0;
    for (std::size_t p = 0; p < a.pixels.size(); ++p) sse += colourDistance(a.pixels[p], b.pixels[p]);
    const double psnr = sse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * 3.0 * static_cast<double>(a.pixels.size()) / sse);
    const double ssim = (ssimChannel(a, b, 0) + ssimChannel(a, b, 1) + ssimChannel(a, b, 2)) / 3;
    std::printf("psnr=%.3f ssim=%.5f edge=%.3f\n", psnr, ssim, edgePsnr(a, b));
    return 0;
}

int reduce(int argc, char** argv) {
    if (argc < 4) return 2;
    ReduceOptions options;
    bool encode = false, price = false;
    for (int i = 4; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--quality") {
            options.quality = static_cast<std::uint32_t>(std::lround(std::atof(next) * 100));
            ++i;
        } else if (arg == "--colors") {
            options.maxColours = std::atoi(next);
            ++i;
        } else if (arg == "--dither") {
            options.dither = true;
        } else if (arg == "--matte") {
            unsigned r = 0, g = 0, b = 0;
            if (std::sscanf(next, "%u,%u,%u", &r, &g, &b) != 3) return 2;
            options.matte = true;
            options.matteColour = r | (g << 8) | (b << 16);
            ++i;
        } else if (arg == "-j") {
            options.threads = static_cast<unsigned>(std::atoi(next));
            ++i;
        } else if (arg == "--encode") {
            encode = true;
        } else if (arg == "--price") {
            price = true;
        } else {
            return 2;
        }
    }
    Picture picture;
    if (!readNetpbm(argv[2], picture, options.alpha)) {
        std::fprintf(stderr, "qm5_reduce_bench: cannot read %s\n", argv[2]);
        return 1;
    }
    EncoderPricer pricer(picture.width, options.threads);
    if (price) options.pricer = &pricer;
    const double start = cpuSeconds();
    HeapArray<std::uint32_t> palette;
    const ReduceResult result = reduceColours({&picture, 1}, options, palette);
    const double reduced = cpuSeconds();
    if (result.error != ReduceError::none) {
        std::fprintf(stderr, "qm5_reduce_bench: %s: %s (PSNR %.2f)\n", argv[2], describe(result.error),
                     result.stats.psnr / 100.0);
        return 1;
    }
    std::printf("before=%llu after=%d psnr=%.2f regions=%d lambda=%lld estimate=%llu cpu=%.3f",
                static_cast<unsigned long long>(result.stats.coloursBefore), result.stats.coloursAfter,
                result.stats.psnr == kLosslessPsnr ? 99.0 : result.stats.psnr / 100.0, result.stats.regions ? 1 : 0,
                static_cast<long long>(result.stats.lambda), static_cast<unsigned long long>(result.stats.estimatedBytes),
                reduced - start);
    if (encode) {
        const Picture* refs[] = {&picture};
        const std::uint64_t bytes = encodedBytes(refs, palette.span(), options.threads);
        std::printf(" bytes=%llu encode_cpu=%.3f", static_cast<unsigned long long>(bytes), cpuSeconds() - reduced);
    }
    std::printf("\n");
    Picture colours;
    if (!colours.allocate(picture.width, picture.height)) return 1;
    for (std::size_t p = 0; p < picture.pixels.size(); ++p) colours.pixels[p] = palette[picture.pixels[p]];
    PictureLoader writer(nullptr);
    return writer.writeBmp24(argv[3], colours) == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "measure") == 0) return measure(argv[2], argv[3]);
    if (argc >= 4 && std::strcmp(argv[1], "reduce") == 0) {
        const int status = reduce(argc, argv);
        if (status == 2) std::fprintf(stderr, "usage: see the top of bench/reduce_bench.cpp\n");
        return status;
    }
    std::fprintf(stderr, "usage: qm5_reduce_bench reduce|measure ...\n");
    return 2;
}
