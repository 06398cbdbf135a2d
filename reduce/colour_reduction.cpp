#include "reduce/colour_reduction.hpp"

#include <algorithm>

#include "reduce/block_split.hpp"
#include "reduce/palette_builder.hpp"
#include "reduce/picture_error.hpp"
#include "reduce/rate_search.hpp"

namespace qm5 {

const char* describe(ReduceError error) {
    switch (error) {
        case ReduceError::none:
            return "no error";
        case ReduceError::badOptions:
            return "a quality or a colour count is needed, within range";
        case ReduceError::noPictures:
            return "no pictures of equal, non-zero size";
        case ReduceError::transparent:
            return "a pixel is not fully opaque";
        case ReduceError::outOfMemory:
            return "out of memory";
        case ReduceError::tooLarge:
            return "the pictures are too large to reduce within the memory limit";
        case ReduceError::qualityUnreachable:
            return "the quality asked cannot be reached";
    }
    return "unknown error";
}

std::uint64_t reductionMemoryBound(std::uint64_t pixelCount, std::uint64_t images, unsigned threads) {
    // Per pixel of all pictures: the pixels (4), and either the hash that
    // counts their colours (at most 48, while it grows, when every pixel has
    // another colour) or, in the search, the sorted histogram (8), the
    // error weights (1), the nearest colours of two palettes (8) and the
    // indices of five candidates (20). Per pixel of one picture, while its
    // weights are made: 28. Then the tiles of the split, and fixed tables
    // (the merged histogram, the colour grids).
    const std::uint64_t total = pixelCount * images;
    return 52 * total + 28 * pixelCount +
           std::uint64_t{std::max(threads, 1u)} * blockSplitMemoryPerThread() + (std::uint64_t{32} << 20);
}

namespace {

// Most colours of a nearest-colour candidate the pricer is asked about.
constexpr std::size_t kMaxPricedPlainColours = 256;

// Longest histogram palettes are built from.
constexpr std::size_t kPaletteHistogramSize = 32768;

bool validOptions(const ReduceOptions& o) {
    if (o.quality == 0 && o.maxColours == 0) return false;
    if (o.quality != 0 && (o.quality < kMinQuality || o.quality > kMaxQuality)) return false;
    if (o.maxColours != 0 && (o.maxColours < 2 || o.maxColours > kMaxReducedColours)) return false;
    return true;
}

// The pixels of every picture, opaque RGB: composited onto the matte or
// checked opaque, the alpha byte cleared.
ReduceResult gatherPixels(std::span<Picture> pictures, const ReduceOptions& options, HeapArray<std::uint32_t>& out) {
    ReduceResult result;
    const std::uint64_t count = pictures[0].pixels.size();
    if (!out.allocate(count * pictures.size())) {
        result.error = ReduceError::outOfMemory;
        return result;
    }
    for (std::size_t m = 0; m < pictures.size(); ++m) {
        const HeapArray<std::uint32_t>& pixels = pictures[m].pixels;
        for (std::uint64_t p = 0; p < count; ++p) {
            std::uint32_t v = pixels[p];
            if (options.alpha && (v >> 24) != 0xFF) {
                if (!options.matte) {
                    result.error = ReduceError::transparent;
                    result.failedPicture = static_cast<std::uint32_t>(m);
                    result.failedPixel = p;
                    return result;
                }
                v = compositeOnMatte(v & 0xFFFFFFu, v >> 24, options.matteColour);
            }
            out[m * count + p] = v & 0xFFFFFFu;
        }
    }
    return result;
}

// Drops the colours no pixel uses and puts the free colour (or the most
// used one) last, the others by use ascending (then by value), which gives
// --best's don't cares to the colours of largest area.
bool compact(Candidate& c) {
    const std::size_t k = c.palette.size();
    HeapArray<std::uint64_t> counts;
    HeapArray<std::uint32_t> order;
    HeapArray<std::uint32_t> newIndex;
    HeapArray<std::uint32_t> palette;
    if (!counts.allocate(k) || !order.allocate(k) || !newIndex.allocate(k)) return false;
    for (const std::uint32_t i : c.indices) ++counts[i];
    const std::uint32_t last = c.regions && c.freeColour < k && counts[c.freeColour] > 0
                                   ? c.freeColour
                                   : static_cast<std::uint32_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
    std::uint32_t used = 0;
    for (std::uint32_t i = 0; i < k; ++i) {
        if (counts[i] > 0 && i != last) order[used++] = i;
    }
    std::sort(order.begin(), order.begin() + used, [&](std::uint32_t a, std::uint32_t b) {
        if (counts[a] != counts[b]) return counts[a] < counts[b];
        return c.palette[a] != c.palette[b] ? c.palette[a] < c.palette[b] : a < b;
    });
    order[used++] = last;
    if (!palette.allocate(used)) return false;
    for (std::uint32_t i = 0; i < used; ++i) {
        palette[i] = c.palette[order[i]];
        newIndex[order[i]] = i;
    }
    for (std::uint32_t& i : c.indices) i = newIndex[i];
    c.palette = std::move(palette);
    c.freeColour = used - 1;
    return true;
}

// The bytes of the texture the pricer writes for a candidate.
std::uint64_t priceOf(TexturePricer& pricer, const Candidate& c, std::uint64_t pixelCount, std::size_t images,
                      HeapArray<const std::uint32_t*>& starts) {
    for (std::size_t m = 0; m < images; ++m) starts[m] = c.indices.data() + m * pixelCount;
    const std::uint64_t bytes = pricer.price(starts.span(), pixelCount, c.palette.span());
    return bytes == 0 ? ~std::uint64_t{0} : bytes;
}

// The candidate the texture is made of: the smaller by the caller's
// pricer, or by the search's estimate; plain (nearest colours) on a tie.
// The pricer sees plain only when its estimate is under twice the other's
// (the estimates of both are within a third of the real sizes on the
// benchmark pictures, so beyond that it cannot win) and it has at most 256
// colours: the encoder compresses many colours without regions slowly (20 s
// for 1024 colours of a 512 x 512 photo at 40 dB), and there it never won.
[[nodiscard]] bool choose(Candidate& best, Candidate& plain, const ReduceOptions& options, std::uint64_t pixelCount,
                          std::size_t images) {
    if (!compact(best)) return false;
    if (!plain.valid) return true;
    if (!compact(plain)) return false;
    if (options.pricer != nullptr && plain.bytes / 2 < best.bytes && plain.palette.size() <= kMaxPricedPlainColours) {
        HeapArray<const std::uint32_t*> starts;
        if (!starts.allocate(images)) return false;
        best.bytes = priceOf(*options.pricer, best, pixelCount, images, starts);
        plain.bytes = priceOf(*options.pricer, plain, pixelCount, images, starts);
    }
    if (plain.bytes <= best.bytes) std::swap(best, plain);
    return true;
}

}  // namespace

ReduceResult reduceColours(std::span<Picture> pictures, const ReduceOptions& options, HeapArray<std::uint32_t>& palette) {
    palette.reset();
    ReduceResult result;
    if (!validOptions(options)) {
        result.error = ReduceError::badOptions;
        return result;
    }
    if (pictures.empty() || pictures[0].pixels.empty() || pictures.size() > 0xFFFFFFFFu) {
        result.error = ReduceError::noPictures;
        return result;
    }
    for (const Picture& p : pictures) {
        if (p.width != pictures[0].width || p.height != pictures[0].height ||
            p.pixels.size() != pictures[0].pixels.size()) {
            result.error = ReduceError::noPictures;
            return result;
        }
    }
    const std::uint64_t bound = reductionMemoryBound(pictures[0].pixels.size(), pictures.size(), options.threads);
    if (bound > options.memoryLimit) {
        result.error = ReduceError::tooLarge;
        result.memoryBound = bound;
        return result;
    }
    HeapArray<std::uint32_t> pixels;
    result = gatherPixels(pictures, options, pixels);
    if (result.error != ReduceError::none) return result;

    HeapArray<ColourCount> histogram;
    {
        ColourHistogram counter;  // freed before the search
        if (!counter.add(pixels.span()) || !counter.sorted(histogram)) {
            result.error = ReduceError::outOfMemory;
            return result;
        }
    }
    result.stats.coloursBefore = histogram.size();
    // Palettes of photos are built from a shorter histogram: colours merged
    // in cells of 4 (or 8) values a side.
    HeapArray<ColourCount> merged;
    std::span<const ColourCount> forPalettes = histogram.span();
    for (int bits = 6; forPalettes.size() > kPaletteHistogramSize && bits >= 5; --bits) {
        if (!mergeCells(histogram.span(), bits, merged)) {
            result.error = ReduceError::outOfMemory;
            return result;
        }
        forPalettes = merged.span();
    }
    const ReductionInput input{pixels.span(), pictures[0].pixels.size(), static_cast<std::uint32_t>(pictures.size()),
                               pictures[0].width, histogram.span(), forPalettes};
    Candidate best, plain;
    result.error = searchReduction(input, options, best, plain);
    if (result.error == ReduceError::none && !choose(best, plain, options, input.pixelCount, pictures.size())) {
        result.error = ReduceError::outOfMemory;
    }
    result.stats.squaredError = best.squaredError;
    result.stats.psnr = psnrHundredths(best.squaredError, 3 * pixels.size());
    if (result.error != ReduceError::none) return result;
    palette = std::move(best.palette);
    for (std::size_t m = 0; m < pictures.size(); ++m) {
        std::copy_n(best.indices.data() + m * input.pixelCount, input.pixelCount, pictures[m].pixels.data());
    }
    result.stats.coloursAfter = static_cast<std::int32_t>(palette.size());
    result.stats.regions = best.regions;
    result.stats.lambda = best.lambda;
    result.stats.estimatedBytes = best.bytes;
    return result;
}

}  // namespace qm5
