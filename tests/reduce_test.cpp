// Colour reduction: the choice of regions at its two extremes of lambda,
// the exact nearest colour against a scan, PSNR against its definition,
// and whole reductions: what a decoder paints, periodic pictures, the
// matte, thread counts, refusals and the same bytes on every machine.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "core/output_sink.hpp"
#include "maker/encoder.hpp"
#include "minimiser/palette_order.hpp"
#include "reduce/block_split.hpp"
#include "reduce/colour_mapping.hpp"
#include "reduce/colour_reduction.hpp"
#include "reduce/nearest_colour.hpp"
#include "reduce/picture_error.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5 {
namespace {

// A truecolour picture: two gradients, a disc and some noise.
Picture truecolour(std::int32_t w, std::int32_t h, std::uint32_t seed) {
    Picture p;
    EXPECT_TRUE(p.allocate(w, h));
    std::mt19937 rng(seed);
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            const bool disc = (x - w / 3) * (x - w / 3) + (y - h / 2) * (y - h / 2) < w * h / 16;
            const std::int32_t noise = static_cast<std::int32_t>(rng() % 9) - 4;
            const std::int32_t r = std::clamp(disc ? 220 + noise : 255 * x / w + noise, 0, 255);
            const std::int32_t g = std::clamp(disc ? 40 : 255 * y / h + noise, 0, 255);
            const std::int32_t b = std::clamp(128 + noise, 0, 255);
            p.at(x, y) = rgb(r, g, b);
        }
    }
    return p;
}

std::vector<std::uint32_t> randomColours(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> colours(n);
    for (std::uint32_t& c : colours) c = rng() & 0xFFFFFF;
    return colours;
}

double psnrOf(const Picture& original, const Picture& indices, std::span<const std::uint32_t> palette) {
    double sum = 0;
    for (std::size_t p = 0; p < original.pixels.size(); ++p) {
        sum += colourDistance(original.pixels[p], palette[indices.pixels[p]]);
    }
    return 10 * std::log10(255.0 * 255.0 * 3.0 * static_cast<double>(original.pixels.size()) / sum);
}

// A palette ready for splits, and the nearest colour of every pixel.
struct Fitted {
    std::vector<std::uint32_t> colours;
    NearestColour nearest;
    BlockPalette grid;
    std::vector<std::uint32_t> closest;

    Fitted(const Picture& picture, std::size_t k, std::uint32_t seed) : colours(randomColours(k, seed)) {
        EXPECT_TRUE(nearest.build(colours) && grid.build(nearest));
        closest.resize(picture.pixels.size());
        mapToNearest(picture.pixels.span(), nearest, 2, closest);
    }
};

// Reduces copies of the pictures; the copies hold the indices afterwards.
struct Reduced {
    std::vector<Picture> pictures;
    HeapArray<std::uint32_t> palette;
    ReduceResult result;

    Reduced(const std::vector<const Picture*>& originals, const ReduceOptions& options) {
        pictures.resize(originals.size());
        for (std::size_t m = 0; m < originals.size(); ++m) {
            EXPECT_TRUE(pictures[m].allocate(originals[m]->width, originals[m]->height));
            std::copy(originals[m]->pixels.begin(), originals[m]->pixels.end(), pictures[m].pixels.begin());
        }
        result = reduceColours(pictures, options, palette);
    }
};

TEST(BlockSplit, LambdaZeroGivesTheNearestColours) {
    // 37 x 23: positions past the picture, tiles cut by its edge.
    for (const auto& [w, h] : {std::pair{37, 23}, std::pair{300, 260}}) {
        const Picture picture = truecolour(w, h, 1);
        const Fitted f(picture, 24, 2);
        const std::vector<std::uint32_t>& want = f.closest;
        std::vector<std::uint32_t> got(picture.pixels.size());
        BlockSplitWorkspace workspace;
        for (const std::uint32_t free : {kNoFreeColour, want[0]}) {
            BlockSplitResult result;
            ASSERT_TRUE(splitIntoBlocks(picture.pixels.span(), want, w, f.grid, {0, free, 2, {}}, workspace, got, result));
            // A colour as near as the nearest (the lowest index) will do.
            for (std::size_t p = 0; p < want.size(); ++p) {
                ASSERT_EQ(colourDistance(picture.pixels[p], f.colours[got[p]]), colourDistance(picture.pixels[p], f.colours[want[p]]))
                    << w << " x " << h << ", free colour " << free << ", pixel " << p;
            }
        }
    }
}

TEST(BlockSplit, HugeLambdaLeavesTheFreeColourAlone) {
    const Picture picture = truecolour(96, 80, 3);
    const Fitted f(picture, 16, 4);
    std::vector<std::uint32_t> got(picture.pixels.size());
    BlockSplitResult result;
    BlockSplitWorkspace workspace;
    ASSERT_TRUE(splitIntoBlocks(picture.pixels.span(), f.closest, 96, f.grid, {std::int64_t{1} << 40, 5, 1, {}}, workspace,
                                got, result));
    EXPECT_EQ(std::set<std::uint32_t>(got.begin(), got.end()), std::set<std::uint32_t>{5});
    EXPECT_EQ(result.blocks, 0u);
}

TEST(NearestColour, MatchesAScanOfEveryColour) {
    std::mt19937 rng(5);
    for (const std::size_t k : {1, 2, 9, 300, 2000}) {
        const std::vector<std::uint32_t> colours = randomColours(k, static_cast<std::uint32_t>(k));
        // Lists only for part of the cube: queries elsewhere must scan.
        std::vector<std::uint8_t> wanted(4096);
        for (std::uint8_t& w : wanted) w = rng() % 3 == 0;
        NearestColour nearest;
        ASSERT_TRUE(nearest.build(colours, wanted));
        for (int q = 0; q < 3000; ++q) {
            const std::int64_t n = 1 + rng() % 5;
            const std::int64_t r = rng() % (255 * n + 1), g = rng() % (255 * n + 1), b = rng() % (255 * n + 1);
            std::uint32_t want = 0;
            std::int64_t best = INT64_MAX;
            for (std::uint32_t i = 0; i < k; ++i) {
                const std::int64_t cr = redOf(colours[i]), cg = greenOf(colours[i]), cb = blueOf(colours[i]);
                const std::int64_t cost = n * (cr * cr + cg * cg + cb * cb) - 2 * (r * cr + g * cg + b * cb);
                if (cost < best) {
                    best = cost;
                    want = i;
                }
            }
            ASSERT_EQ(nearest.nearestToMean(r, g, b, n), want) << k << " colours, mean of " << r << ", " << g << ", " << b << " / " << n;
        }
    }
}

TEST(PictureError, PsnrAndBudgetFollowTheDefinition) {
    const std::uint64_t samples = 3 * 512 * 512;
    for (const std::uint64_t error : {std::uint64_t{1}, std::uint64_t{777}, std::uint64_t{20358301}, samples * 65025}) {
        const double exact = 1000 * std::log10(65025.0 * static_cast<double>(samples) / static_cast<double>(error));
        const std::uint32_t got = psnrHundredths(error, samples);
        EXPECT_LE(got, exact) << error;
        EXPECT_GE(got + 1, std::floor(exact)) << error;
    }
    EXPECT_EQ(psnrHundredths(0, samples), kLosslessPsnr);
    for (const std::uint32_t quality : {100u, 3000u, 3400u, 3850u, 9900u}) {
        const std::uint64_t budget = errorBudget(quality, samples);
        EXPECT_GE(psnrHundredths(budget, samples), quality);
        EXPECT_LT(psnrHundredths(budget + 1, samples), quality);
    }
}

TEST(ColourMapping, DitheringKeepsTheMeanOfAFlatArea) {
    Picture grey;
    ASSERT_TRUE(grey.allocate(64, 64));
    std::fill(grey.pixels.begin(), grey.pixels.end(), rgb(100, 100, 100));
    const std::uint32_t colours[] = {0, 0xFFFFFF};
    NearestColour nearest;
    ASSERT_TRUE(nearest.build(colours));
    std::vector<std::uint32_t> indices(grey.pixels.size());
    ASSERT_TRUE(mapWithDithering(grey.pixels.span(), 64, nearest, indices));
    const auto white = static_cast<double>(std::count(indices.begin(), indices.end(), 1u));
    EXPECT_NEAR(white / static_cast<double>(indices.size()), 100.0 / 255.0, 0.01);
}

TEST(ReduceColours, DecodingGivesTheReducedPicturesAtTheQualityAsked) {
    const Picture a = truecolour(128, 96, 6), b = truecolour(128, 96, 7);
    ReduceOptions options;
    options.quality = 3400;
    Reduced reduced({&a, &b}, options);
    ASSERT_EQ(reduced.result.error, ReduceError::none);
    const ReduceStats& stats = reduced.result.stats;
    EXPECT_GE(stats.psnr, 3400u);
    EXPECT_GE(stats.coloursBefore, 1000u);
    EXPECT_EQ(stats.coloursAfter, static_cast<std::int32_t>(reduced.palette.size()));
    EXPECT_GE(psnrOf(a, reduced.pictures[0], reduced.palette.span()) + psnrOf(b, reduced.pictures[1], reduced.palette.span()), 68.0);

    // Written as --best writes it, with the palette order searched.
    MemoryOutput out;
    EncodeRequest request;
    request.pictures = reduced.pictures;
    request.palette = reduced.palette.span();
    request.reorderPalette = true;
    request.mode = EncodeMode::best;
    request.smallest = true;
    request.effort = kDefaultOrderEffort;
    request.sink = &out;
    ASSERT_TRUE(encodeTexture(request).ok());
    std::size_t size = 0;
    std::unique_ptr<std::uint8_t, decltype(&std::free)> file(out.release(size), &std::free);
    for (int m = 0; m < 2; ++m) {
        Picture decoded;
        ASSERT_FALSE(decodeTextureImage({file.get(), size}, m, decoded));
        for (std::size_t p = 0; p < decoded.pixels.size(); ++p) {
            ASSERT_EQ(decoded.pixels[p], reduced.palette[reduced.pictures[static_cast<std::size_t>(m)].pixels[p]])
                << "image " << m << ", pixel " << p;
        }
    }
}

TEST(ReduceColours, PeriodicPictureGivesAPeriodicResult) {
    Picture tile = truecolour(8, 8, 8), picture;
    ASSERT_TRUE(picture.allocate(64, 64));
    for (std::int32_t y = 0; y < 64; ++y) {
        for (std::int32_t x = 0; x < 64; ++x) picture.at(x, y) = tile.at(x % 8, y % 8);
    }
    for (const std::uint32_t quality : {2600u, 3200u}) {
        ReduceOptions options;
        options.quality = quality;
        Reduced reduced({&picture}, options);
        ASSERT_EQ(reduced.result.error, ReduceError::none);
        const Picture& got = reduced.pictures[0];
        for (std::int32_t y = 0; y < 64; ++y) {
            for (std::int32_t x = 0; x < 64; ++x) ASSERT_EQ(got.at(x, y), got.at(x % 8, y % 8)) << x << ", " << y;
        }
    }
}

TEST(ReduceColours, MatteGivesTheVisibleColoursAndTheMatte) {
    // Two opaque colours; junk of every colour under transparent pixels.
    Picture sprite;
    ASSERT_TRUE(sprite.allocate(40, 30));
    for (std::uint32_t p = 0; p < sprite.pixels.size(); ++p) {
        const std::uint32_t x = p % 40;
        sprite.pixels[p] = x < 10 ? 0xFF0000FFu : x < 20 ? 0xFF00FF00u : (p * 2654435761u) & 0x00FFFFFFu;
    }
    ReduceOptions options;
    options.quality = 4000;
    options.alpha = true;
    Reduced refused({&sprite}, options);
    EXPECT_EQ(refused.result.error, ReduceError::transparent);
    EXPECT_EQ(refused.result.failedPixel, 20u);

    options.matte = true;
    options.matteColour = rgb(255, 0, 255);
    Reduced reduced({&sprite}, options);
    ASSERT_EQ(reduced.result.error, ReduceError::none);
    EXPECT_EQ(reduced.result.stats.psnr, kLosslessPsnr);
    EXPECT_EQ(std::set<std::uint32_t>(reduced.palette.begin(), reduced.palette.end()),
              (std::set<std::uint32_t>{0x0000FF, 0x00FF00, 0xFF00FF}));
    EXPECT_EQ(reduced.palette[reduced.pictures[0].pixels[35]], 0xFF00FFu);
}

TEST(ReduceColours, SameResultOnAnyThreadCountAndMachine) {
    // Wider than a tile, not a power of two, two pictures sharing a palette.
    const Picture a = truecolour(520, 40, 9), b = truecolour(520, 40, 10);
    ReduceOptions options;
    options.quality = 3300;
    Reduced one({&a, &b}, options);
    ASSERT_EQ(one.result.error, ReduceError::none);
    options.threads = 3;
    Reduced three({&a, &b}, options);
    ASSERT_EQ(three.result.error, ReduceError::none);
    ASSERT_EQ(std::vector<std::uint32_t>(one.palette.begin(), one.palette.end()),
              std::vector<std::uint32_t>(three.palette.begin(), three.palette.end()));
    // FNV-1a of the palette and the indices: the same on every machine and
    // in 32-bit builds (integer arithmetic throughout). A change of the
    // method changes it: then measure again and write the new value here.
    std::uint64_t hash = 14695981039346656037ull;
    const auto add = [&hash](std::uint32_t v) { hash = (hash ^ v) * 1099511628211ull; };
    for (const std::uint32_t c : one.palette) add(c);
    for (int m = 0; m < 2; ++m) {
        EXPECT_TRUE(std::equal(one.pictures[m].pixels.begin(), one.pictures[m].pixels.end(), three.pictures[m].pixels.begin()));
        for (const std::uint32_t i : one.pictures[m].pixels) add(i);
    }
    EXPECT_EQ(hash, 8085377206807956448u);
}

TEST(ReduceColours, KeepsTheCandidateThePricerFindsSmaller) {
    // A pricer that finds a texture smaller the fewer colours it has.
    struct ByColours final : TexturePricer {
        std::vector<std::size_t> seen;
        std::uint64_t price(std::span<const std::uint32_t* const>, std::uint64_t, std::span<const std::uint32_t> palette) override {
            seen.push_back(palette.size());
            return palette.size();
        }
    } pricer;
    const Picture picture = truecolour(64, 64, 14);
    ReduceOptions options;
    options.quality = 3600;
    options.pricer = &pricer;
    Reduced reduced({&picture}, options);
    ASSERT_EQ(reduced.result.error, ReduceError::none);
    ASSERT_EQ(pricer.seen.size(), 2u);  // the regions and the nearest colours
    EXPECT_EQ(reduced.palette.size(), std::min(pricer.seen[0], pricer.seen[1]));
    EXPECT_EQ(reduced.result.stats.estimatedBytes, reduced.palette.size());
}

TEST(ReduceColours, DitheringReachesTheQualityWithFewColours) {
    const Picture picture = truecolour(64, 64, 15);
    ReduceOptions options;
    options.quality = 3000;
    options.dither = true;
    Reduced reduced({&picture}, options);
    ASSERT_EQ(reduced.result.error, ReduceError::none);
    EXPECT_GE(reduced.result.stats.psnr, 3000u);
    EXPECT_GE(psnrOf(picture, reduced.pictures[0], reduced.palette.span()), 30.0);
    EXPECT_FALSE(reduced.result.stats.regions);
    EXPECT_LE(reduced.palette.size(), 64u);
    // Without a quality, the colours asked (not the fewest that pass no test).
    const Reduced eight({&picture}, {.maxColours = 8, .dither = true});
    ASSERT_EQ(eight.result.error, ReduceError::none);
    EXPECT_EQ(eight.palette.size(), 8u);
}

TEST(ReduceColours, ColoursAloneGiveTheNearestOfThatMany) {
    const Picture picture = truecolour(64, 64, 11);
    ReduceOptions options;
    options.maxColours = 8;
    Reduced reduced({&picture}, options);
    ASSERT_EQ(reduced.result.error, ReduceError::none);
    ASSERT_LE(reduced.palette.size(), 8u);
    for (std::size_t p = 0; p < picture.pixels.size(); ++p) {
        const std::int32_t got = colourDistance(picture.pixels[p], reduced.palette[reduced.pictures[0].pixels[p]]);
        for (const std::uint32_t c : reduced.palette) ASSERT_LE(got, colourDistance(picture.pixels[p], c)) << p;
    }
}

TEST(ReduceColours, RefusesWhatItCannotDo) {
    const Picture a = truecolour(16, 16, 12), b = truecolour(16, 17, 13);
    const auto refusal = [](const std::vector<const Picture*>& pictures, ReduceOptions options) {
        return Reduced(pictures, options).result.error;
    };
    EXPECT_EQ(refusal({&a}, {}), ReduceError::badOptions);
    EXPECT_EQ(refusal({&a}, {.quality = 50}), ReduceError::badOptions);
    EXPECT_EQ(refusal({&a}, {.maxColours = 1}), ReduceError::badOptions);
    EXPECT_EQ(refusal({&a}, {.maxColours = kMaxReducedColours + 1}), ReduceError::badOptions);
    EXPECT_EQ(refusal({&a, &b}, {.quality = 3000}), ReduceError::noPictures);
    EXPECT_EQ(refusal({}, {.quality = 3000}), ReduceError::noPictures);
    // 2 colours cannot give 60 dB on a picture of hundreds.
    const Reduced unreachable({&a}, {.quality = 6000, .maxColours = 2});
    EXPECT_EQ(unreachable.result.error, ReduceError::qualityUnreachable);
    EXPECT_LT(unreachable.result.stats.psnr, 6000u);
    const Reduced overLimit({&a}, {.quality = 3000, .memoryLimit = reductionMemoryBound(256, 1, 1) - 1});
    EXPECT_EQ(overLimit.result.error, ReduceError::tooLarge);
}

}  // namespace
}  // namespace qm5
