#pragma once
// Colour reduction made for the texture format: truecolour pictures (any
// number of colours, transparent ones composited onto a matte colour) to
// palette-index pictures sharing one palette, either
// - with a quality: the smallest texture found whose PSNR over RGB is at
//   least that, with at most maxColours colours when that is given too.
//   Candidates: nearest colours over the fewest colours that reach the
//   quality (median cut refined by k-means), and the rate-aware choice of
//   regions (reduce/block_split.hpp) over palettes of 4, 8, ... times as
//   many, at the largest lambda that still reaches the quality, each
//   palette then moved to the means of its regions. Regions are guarded
//   against visible blocks by weighting each pixel's error by the
//   smoothness around it (reduce/error_weights.hpp); the quality is met in
//   plain squared error all the same. The smaller by the caller's pricer
//   (or by the search's estimate) is kept;
// - with maxColours alone, the best quality at that many colours (nearest
//   colours, no regions);
// - with dither, Floyd-Steinberg at the fewest colours that reach the
//   quality (or at maxColours), for textures stored plain.
// Everything is integer arithmetic on data-independent splits of the work,
// so the result is the same for every thread count, machine and build.
// Failures are results; memory is allocated through HeapArray and checked.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "picture/picture.hpp"
#include "reduce/picture_error.hpp"

namespace qm5 {

// Most colours a texture holds (its reader takes the count as signed).
inline constexpr std::int32_t kMaxReducedColours = 32767;
// Working memory a reduction may take unless the caller says otherwise
// (ReduceOptions::memoryLimit): the encoder's own limit.
inline constexpr std::uint64_t kReduceMemoryLimit = std::uint64_t{1800} << 20;
// Qualities accepted, in hundredths of a dB.
inline constexpr std::uint32_t kMinQuality = 100;
inline constexpr std::uint32_t kMaxQuality = 9900;

// The texture a caller will write for a candidate reduction, priced: the
// search keeps the candidate with the fewest bytes. Without a pricer the
// search uses its own estimate (cubes of the chosen blocks, plain size).
class TexturePricer {
public:
    virtual ~TexturePricer() = default;
    // images: the index pictures (each pixelCount indices below
    // palette.size()). The texture's bytes, or 0 when it cannot be priced.
    virtual std::uint64_t price(std::span<const std::uint32_t* const> images, std::uint64_t pixelCount,
                                std::span<const std::uint32_t> palette) = 0;
};

struct ReduceOptions {
    std::uint32_t quality = 0;     // least PSNR, in hundredths of a dB (3400: 34 dB); 0: none
    std::int32_t maxColours = 0;   // at most this many colours, 2 .. kMaxReducedColours; 0: none
    bool dither = false;           // Floyd-Steinberg instead of regions
    // Bits 24..31 of every pixel hold its alpha (255: opaque); without this
    // they are ignored and every pixel is opaque.
    bool alpha = false;
    bool matte = false;            // composite pixels that are not fully opaque onto matteColour
    std::uint32_t matteColour = 0;  // packed RGB
    unsigned threads = 1;          // 0 counts as 1
    TexturePricer* pricer = nullptr;
    // Pictures whose reduction could take more working memory than this
    // (reductionMemoryBound) are refused as tooLarge before any work.
    std::uint64_t memoryLimit = kReduceMemoryLimit;
};

enum class ReduceError {
    none,
    badOptions,          // neither quality nor maxColours, or one out of range
    noPictures,          // no pictures, pictures of no pixels, or of different sizes
    transparent,         // a pixel not fully opaque and no matte (failedPicture, failedPixel)
    outOfMemory,
    tooLarge,            // the reduction could pass options.memoryLimit (memoryBound)
    qualityUnreachable,  // even kMaxReducedColours (or maxColours) colours stay below the quality; stats.psnr is the best
};

const char* describe(ReduceError error);

// Bytes of working memory a reduction of `images` pictures of pixelCount
// pixels takes at most (about 52 a pixel: copies of the pixels, the
// candidates' indices, the error weights).
std::uint64_t reductionMemoryBound(std::uint64_t pixelCount, std::uint64_t images, unsigned threads);

struct ReduceStats {
    std::uint64_t coloursBefore = 0;  // distinct colours of the pictures (after the matte)
    std::int32_t coloursAfter = 0;    // palette entries, all used
    std::uint32_t psnr = 0;           // reached, in hundredths of a dB, rounded down (kLosslessPsnr: exact)
    std::uint64_t squaredError = 0;   // summed over every channel of every pixel
    bool regions = false;             // the rate-aware regions won over plain nearest colours
    std::int64_t lambda = 0;          // of the regions kept (kLambdaScale units)
    std::uint64_t estimatedBytes = 0;  // the search's estimate (or the pricer's bytes) of the result
};

struct ReduceResult {
    ReduceError error = ReduceError::none;
    std::uint32_t failedPicture = 0;  // transparent: the picture and the pixel position
    std::uint64_t failedPixel = 0;
    std::uint64_t memoryBound = 0;    // tooLarge: the working memory the reduction could take
    ReduceStats stats;
};

// pictures: the pictures of one texture, all of one size; on success every
// pixel is replaced by its index into palette (packed RGB colours, every
// one used; last the colour the regions left free, or the most used one:
// it takes the texture's free whole-image record). On failure the
// pictures are unchanged and palette is empty.
ReduceResult reduceColours(std::span<Picture> pictures, const ReduceOptions& options, HeapArray<std::uint32_t>& palette);

}  // namespace qm5
