#include "reduce/rate_search.hpp"

#include <algorithm>
#include <utility>

#include "reduce/block_split.hpp"
#include "reduce/colour_mapping.hpp"
#include "reduce/error_weights.hpp"
#include "reduce/nearest_colour.hpp"
#include "reduce/picture_error.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

// Two k-means steps after the median cut of nearest-colour palettes: more
// changed the textures by under 1% on the benchmark pictures, and cost time
// with large palettes.
constexpr int kKMeansSteps = 2;
// Lambda is searched until it is known within 1/kLambdaPrecision.
constexpr std::int64_t kLambdaPrecision = 16;
constexpr std::int64_t kMaxLambda = std::int64_t{1} << 40;
// The guard's constant (reduce/error_weights.hpp): SSIM's own C2 = 58.5.
constexpr std::uint32_t kGuardConstant = 58;

// A palette made ready for the split: its nearest-colour search, its grid
// of block colours, and the nearest colour of every pixel.
struct PaletteFit {
    HeapArray<std::uint32_t> colours;
    NearestColour nearest;
    BlockPalette grid;
    HeapArray<std::uint32_t> nearestIndices;
    std::uint64_t plainError = 0;  // of the nearest colours
};

struct Search {
    const ReductionInput& in;
    const ReduceOptions& options;
    int b = 0;
    std::uint64_t budget = 0;  // the largest squared error allowed
    unsigned threads = 1;
    HeapArray<std::uint8_t> wanted;   // where the nearest colours are asked for
    HeapArray<std::uint8_t> weights;  // of every pixel's error (reduce/error_weights.hpp); empty: equal
    MedianCut cut;                   // over paletteHistogram, split as far as asked so far
    BlockSplitWorkspace workspace;

    Search(const ReductionInput& input, const ReduceOptions& o) : in(input), options(o) {}

    std::uint64_t total() const { return in.pixelCount * in.images; }
    template <class T>
    std::span<T> image(std::span<T> all, std::uint32_t m) const {
        return all.empty() ? all : all.subspan(m * in.pixelCount, in.pixelCount);
    }

    [[nodiscard]] bool fit(PaletteFit& f) const {
        if (!f.nearest.build(f.colours.span(), wanted.span()) || !f.grid.build(f.nearest) ||
            !f.nearestIndices.allocate(total())) {
            return false;
        }
        mapToNearest(in.pixels, f.nearest, threads, f.nearestIndices.span());
        f.plainError = indexPictureError(in.pixels, f.nearestIndices.span(), f.colours.span());
        return true;
    }

    // Colours some pixel uses.
    std::uint32_t usedColours(const Candidate& c) const {
        HeapArray<std::uint8_t> used;
        if (!used.allocate(c.palette.size())) return static_cast<std::uint32_t>(c.palette.size());
        std::uint32_t count = 0;
        for (const std::uint32_t i : c.indices) {
            count += used[i] == 0 ? 1 : 0;
            used[i] = 1;
        }
        return count;
    }

    std::uint64_t plainBytes(std::uint32_t colours) const {
        return textureHeadSize(colours) + total() * plainIndexBytes(colours);
    }
    // The texture's bytes: header and palette, then per image a 3-byte head
    // per colour and the cubes, or the plain indices, whichever is smaller.
    std::uint64_t estimate(std::uint32_t colours, std::uint64_t blocks) const {
        const std::uint64_t compressed = textureHeadSize(colours) + in.images * 3ull * colours + cubeDataLength(blocks, b);
        return std::min(compressed, plainBytes(colours));
    }


    // The regions of every picture at c.lambda with c.freeColour, into c.
    [[nodiscard]] bool regions(const PaletteFit& f, Candidate& c) {
        if (c.indices.size() != total() && !c.indices.allocate(total())) return false;
        if (c.palette.size() != f.colours.size() && !c.palette.allocate(f.colours.size())) return false;
        std::copy(f.colours.begin(), f.colours.end(), c.palette.begin());
        std::uint64_t blocks = 0;
        for (std::uint32_t m = 0; m < in.images; ++m) {
            BlockSplitResult result;
            const BlockSplitSettings settings{c.lambda, c.freeColour, threads, image(weights.span(), m)};
            if (!splitIntoBlocks(image(in.pixels, m), image(f.nearestIndices.span(), m), in.width, f.grid, settings,
                                 workspace, image(c.indices.span(), m), result)) {
                return false;
            }
            blocks += result.blocks;
        }
        c.squaredError = indexPictureError(in.pixels, c.indices.span(), c.palette.span());
        c.bytes = estimate(usedColours(c), blocks);
        c.regions = c.lambda > 0;
        c.valid = true;
        return true;
    }
};

// The colour of most pixels (lowest index on ties).
std::uint32_t mostUsed(std::span<const std::uint32_t> indices, std::size_t colours) {
    HeapArray<std::uint64_t> counts;
    if (!counts.allocate(colours)) return 0;
    for (const std::uint32_t i : indices) ++counts[i];
    return static_cast<std::uint32_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
}

// Every palette colour moved to the mean of the pixels that use it.
[[nodiscard]] bool moveToMeans(const Search& s, const Candidate& c, HeapArray<std::uint32_t>& colours) {
    HeapArray<std::int64_t> sums;
    if (!sums.allocate(4 * c.palette.size()) || !colours.allocate(c.palette.size())) return false;
    for (std::size_t p = 0; p < c.indices.size(); ++p) {
        std::int64_t* sum = sums.data() + 4 * c.indices[p];
        const std::uint32_t v = s.in.pixels[p];
        sum[0] += redOf(v);
        sum[1] += greenOf(v);
        sum[2] += blueOf(v);
        sum[3] += 1;
    }
    for (std::size_t i = 0; i < c.palette.size(); ++i) {
        const std::int64_t* sum = sums.data() + 4 * i;
        const auto mean = [&](int ch) { return static_cast<std::int32_t>((sum[ch] + sum[3] / 2) / sum[3]); };
        colours[i] = sum[3] == 0 ? c.palette[i] : rgb(mean(0), mean(1), mean(2));
    }
    return true;
}

std::uint64_t isqrt(std::uint64_t v) {
    std::uint64_t r = 0;
    for (std::uint64_t bit = std::uint64_t{1} << 62; bit != 0; bit >>= 2) {
        if (v >= r + bit) {
            v -= r + bit;
            r = (r >> 1) + bit;
        } else {
            r >>= 1;
        }
    }
    return r;
}

// x * a / b through a fraction of 16 bits: for x below 2^42 and a / b at
// most 4 (lambdas stay below kMaxLambda, errors and budgets below 2^50).
std::int64_t scaled(std::int64_t x, std::uint64_t a, std::uint64_t b) {
    while (b >= (std::uint64_t{1} << 40)) {
        a >>= 1;
        b >>= 1;
    }
    const std::uint64_t fraction = b == 0 ? 0 : (a << 16) / b;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(x) * fraction) >> 16);
}

// The next lambda to try above low (whose regions c are within the budget)
// when none above it is known to fail: the error above the floor (lambda
// 0's) grows about as lambda^(2/3) (measured on photos, logos and
// drawings), so lambda grows as the room left to the power 3/2, at most 8
// times.
std::int64_t growLambda(const Search& s, const Candidate& c, std::uint64_t floor) {
    const std::int64_t low = c.lambda;
    const std::uint64_t used = std::max<std::uint64_t>(c.squaredError - std::min(floor, c.squaredError), 1);
    const std::uint64_t room = s.budget - std::min(floor, s.budget);
    std::int64_t next = 8 * low;
    if (room < 4 * used) {
        const std::int64_t once = scaled(low, room, used << 2) << 2;  // low * room / used
        next = scaled(once, isqrt(room << 8), isqrt(used << 8));
    }
    return std::max(next, low + low / 8 + 1);
}

// The largest lambda (within 1/kLambdaPrecision) whose regions stay within
// the budget, starting from guess; c receives them. c is within it on
// entry (lambda 0 at least). Between a lambda within and one over, the next
// try is interpolated on their errors, an eighth of the interval away from
// either end.
[[nodiscard]] bool fitLambda(Search& s, const PaletteFit& f, std::int64_t guess, Candidate& c, Candidate& trial) {
    std::int64_t high = 0;  // 0: no lambda over the budget found yet
    std::uint64_t highError = 0;
    std::int64_t next = std::max(guess, c.lambda + 1);
    while (next <= kMaxLambda) {
        trial.lambda = next;
        trial.freeColour = c.freeColour;
        if (!s.regions(f, trial)) return false;
        if (trial.squaredError <= s.budget) {
            const bool saturated = trial.bytes == c.bytes && trial.squaredError == c.squaredError;
            std::swap(c, trial);
            if (saturated) break;  // one colour left, or no change: higher does no more
        } else {
            high = next;
            highError = trial.squaredError;
        }
        const std::int64_t low = c.lambda;
        if (high != 0 && high - low <= std::max<std::int64_t>(low / kLambdaPrecision, 1)) break;
        if (s.budget - c.squaredError <= s.budget / 64) break;  // close enough
        if (high == 0) {
            next = growLambda(s, c, f.plainError);
        } else {
            const std::int64_t span = high - low;
            next = low + scaled(span, s.budget - c.squaredError, highError - c.squaredError);
            next = std::clamp(next, low + span / 8, high - span / 8);
        }
        if (next <= low || (high != 0 && next >= high)) break;
    }
    return true;
}

// The regions of a palette at the largest lambda within the budget, the
// palette then moved to the means of its regions and lambda fitted again.
// c.valid is false when not even lambda 0 is within it. plain receives the
// nearest colours.
[[nodiscard]] bool regionsOf(Search& s, PaletteFit& f, std::int64_t guess, Candidate& c, Candidate& trial,
                             Candidate& plain) {
    if (!s.fit(f)) return false;
    plain.lambda = 0;
    plain.freeColour = kNoFreeColour;
    if (!s.regions(f, plain)) return false;
    // Lambda 0 with the free colour gives the nearest colours again.
    c.lambda = 0;
    c.freeColour = mostUsed(f.nearestIndices.span(), f.colours.size());
    if (!c.indices.allocate(plain.indices.size()) || !c.palette.allocate(plain.palette.size())) return false;
    std::copy(plain.indices.begin(), plain.indices.end(), c.indices.begin());
    std::copy(plain.palette.begin(), plain.palette.end(), c.palette.begin());
    c.squaredError = plain.squaredError;
    c.bytes = plain.bytes;
    c.regions = false;
    c.valid = plain.squaredError <= s.budget;
    if (!c.valid) return true;
    if (!fitLambda(s, f, guess, c, trial)) return false;
    PaletteFit moved;
    if (!moveToMeans(s, c, moved.colours) || !s.fit(moved)) return false;
    trial.lambda = c.lambda;
    trial.freeColour = c.freeColour;
    if (!s.regions(moved, trial)) return false;
    if (trial.squaredError > s.budget) return true;
    std::swap(c, trial);
    std::swap(f, moved);
    return fitLambda(s, f, c.lambda + c.lambda / 8 + 1, c, trial);
}

void keepSmaller(Candidate& best, Candidate& c) {
    if (!c.valid) return;
    if (!best.valid || c.bytes < best.bytes) std::swap(best, c);
}

// k colours (all of them when there are no more).
[[nodiscard]] bool buildPalette(Search& s, std::uint64_t k, HeapArray<std::uint32_t>& palette, int steps = kKMeansSteps) {
    if (k >= s.in.histogram.size()) {
        if (!palette.allocate(s.in.histogram.size())) return false;
        for (std::size_t i = 0; i < s.in.histogram.size(); ++i) palette[i] = s.in.histogram[i].colour;
        return true;
    }
    return s.cut.palette(static_cast<std::uint32_t>(k), palette) &&
           refineByKMeans(s.in.paletteHistogram, palette, steps);
}

// Floyd-Steinberg over k colours into c.
[[nodiscard]] bool dither(Search& s, std::uint64_t k, Candidate& c) {
    NearestColour nearest;
    if (!buildPalette(s, k, c.palette) || !nearest.build(c.palette.span(), s.wanted.span()) ||
        !c.indices.allocate(s.total())) {
        return false;
    }
    for (std::uint32_t m = 0; m < s.in.images; ++m) {
        if (!mapWithDithering(s.image(s.in.pixels, m), s.in.width, nearest, s.image(c.indices.span(), m))) return false;
    }
    c.squaredError = indexPictureError(s.in.pixels, c.indices.span(), c.palette.span());
    c.bytes = s.plainBytes(s.usedColours(c));
    c.valid = true;
    return true;
}

// Floyd-Steinberg over the fewest colours that reach the quality (cap
// colours without one): doubling from 2, then halving the interval between
// the last that failed and the first that reached it to within 1/16.
ReduceError dithered(Search& s, std::uint64_t cap, Candidate& best) {
    const std::uint64_t most = std::min<std::uint64_t>(cap, s.in.histogram.size());
    std::uint64_t failed = 0;
    std::uint64_t k = s.options.quality == 0 ? most : 2;
    for (;; k = std::min(2 * k, most)) {
        if (!dither(s, k, best)) return ReduceError::outOfMemory;
        if (best.squaredError <= s.budget) break;
        if (k >= most) return ReduceError::qualityUnreachable;
        failed = k;
    }
    // Without a quality every count passes: the colours asked are the best.
    if (s.options.quality == 0) return ReduceError::none;
    Candidate trial;
    while (k - failed > std::max<std::uint64_t>(k / 16, 1)) {
        const std::uint64_t mid = failed + (k - failed) / 2;
        if (!dither(s, mid, trial)) return ReduceError::outOfMemory;
        if (trial.squaredError <= s.budget) {
            std::swap(best, trial);
            k = mid;
        } else {
            failed = mid;
        }
    }
    return ReduceError::none;
}

// The palette size (a power of two) to try after k colours left the error
// over the budget: the error of nearest colours falls about as k^(-2/3)
// (colours spread over a volume), so k grows as (error / budget)^(3/2); at
// least twice k, at most cap.
std::uint64_t predictColours(const Search& s, std::uint64_t k, std::uint64_t error, std::uint64_t cap) {
    const std::uint64_t ratio = std::min<std::uint64_t>(error / std::max<std::uint64_t>(s.budget >> 8, 1), 1u << 20);
    const std::uint64_t wanted = k * ratio * isqrt(256 * ratio) / 65536;  // k (ratio / 256)^(3/2)
    std::uint64_t next = 2 * k;
    while (next < wanted && next < cap) next *= 2;
    return std::min(next, cap);
}

// Nearest colours over the fewest colours (a power of two, at most cap)
// that reach the quality, into plain, k their count: from 16 up (predicted)
// or down (halving) to it. False when memory ran out; plain fails the
// budget when no palette within cap colours reaches it.
[[nodiscard]] bool fewestColours(Search& s, std::uint64_t cap, Candidate& plain, std::uint64_t& k) {
    const std::uint64_t distinct = s.in.histogram.size();
    Candidate trial, failing;  // failing: the most colours found over the budget
    std::uint64_t failingColours = 0;
    PaletteFit f;
    k = std::min<std::uint64_t>(16, cap);
    std::uint64_t within = 0;  // the fewest colours found within the budget
    for (;;) {
        if (!buildPalette(s, k, f.colours) || !s.fit(f)) return false;
        trial.lambda = 0;
        trial.freeColour = kNoFreeColour;
        if (!s.regions(f, trial)) return false;
        if (trial.squaredError <= s.budget) {
            std::swap(plain, trial);
            within = k;
        } else {
            std::swap(failing, trial);
            failingColours = k;
        }
        if (within == 0) {
            if (k >= cap || k >= distinct) {
                std::swap(plain, failing);  // none reaches it: the least error
                return true;
            }
            k = predictColours(s, k, failing.squaredError, cap);
        } else if (k / 2 > failingColours && k > 2 && within == k) {
            k /= 2;  // fewer may do
        } else {
            break;
        }
    }
    k = within;
    return true;
}

}  // namespace

ReduceError searchReduction(const ReductionInput& input, const ReduceOptions& options, Candidate& best,
                            Candidate& bestPlain) {
    Search s(input, options);
    s.b = positionBitCount(input.pixelCount);
    s.threads = std::max(options.threads, 1u);
    if (!occupiedCells(input.histogram, s.wanted) || !s.cut.start(input.paletteHistogram)) return ReduceError::outOfMemory;
    s.budget = options.quality == 0 ? ~std::uint64_t{0} : errorBudget(options.quality, 3 * s.total());
    const std::uint64_t distinct = input.histogram.size();
    const std::uint32_t cap = options.maxColours > 0 ? static_cast<std::uint32_t>(options.maxColours)
                                                     : static_cast<std::uint32_t>(kMaxReducedColours);
    best.valid = false;
    if (options.dither) return dithered(s, cap, best);
    PaletteFit f;
    if (options.quality == 0) {
        // The best quality at the colours asked: nearest colours.
        best.lambda = 0;
        best.freeColour = kNoFreeColour;
        if (!buildPalette(s, cap, f.colours) || !s.fit(f) || !s.regions(f, best)) return ReduceError::outOfMemory;
        return ReduceError::none;
    }
    if (!s.weights.allocate(s.total())) return ReduceError::outOfMemory;
    for (std::uint32_t m = 0; m < input.images; ++m) {
        if (!structureWeights(s.image(input.pixels, m), input.width, kGuardConstant, s.image(s.weights.span(), m))) {
            return ReduceError::outOfMemory;
        }
    }
    Candidate c, trial, plain;
    bestPlain.valid = false;
    std::uint64_t k = 0;
    if (!fewestColours(s, cap, bestPlain, k)) return ReduceError::outOfMemory;
    if (!bestPlain.valid || bestPlain.squaredError > s.budget) {
        std::swap(best, bestPlain);  // the most colours tried: the least error
        return ReduceError::qualityUnreachable;
    }
    // Regions need room beyond the fewest colours: they start at four times
    // as many (where the smallest textures of the photo rose512 were, at 30,
    // 34 and 38 dB; twice as many gave 4 to 10% more bytes), and the palette
    // doubles while the texture gets smaller.
    std::int64_t guess = kLambdaScale * static_cast<std::int64_t>(s.budget / s.total() / 8 + 1);
    std::uint64_t lastBytes = ~std::uint64_t{0};
    for (k = std::min<std::uint64_t>(4 * k, cap);; k = std::min<std::uint64_t>(2 * k, cap)) {
        // No k-means here: the palette moves to the means of its regions.
        if (!buildPalette(s, k, f.colours, 0) || !regionsOf(s, f, guess, c, trial, plain)) return ReduceError::outOfMemory;
        const bool worse = !c.valid || c.bytes >= lastBytes;
        if (c.valid) {
            guess = c.lambda;
            lastBytes = c.bytes;
        }
        keepSmaller(best, c);
        if (k >= cap || k >= distinct || worse) break;
    }
    if (!best.valid) std::swap(best, bestPlain);
    return ReduceError::none;
}

}  // namespace qm5
