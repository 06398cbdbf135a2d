#include "maker/picture_compression.hpp"

#include <algorithm>
#include <thread>

#include "core/heap_array.hpp"
#include "minimiser/best_cover.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

MinimiseStatus compressPicture(bool best, const Picture& picture, std::uint32_t colourCount, unsigned threads,
                               std::uint64_t memoryLimit, const RecordSink& sink, std::uint32_t& failedColour,
                               Progress* progress) {
    CompressOptions options;
    options.threads = threads;
    options.memoryLimit = std::min(options.memoryLimit, memoryLimit);
    // The engines report their own work as it goes (within a colour too),
    // into the same stage as the colours' records; the display keeps the
    // larger fraction of a stage, so the two never make it go back.
    if (progress != nullptr) {
        options.progress = [progress](std::uint64_t done, std::uint64_t total) { progress->advance(done, total); };
    }
    const std::uint32_t* indices = picture.pixels.data();
    const std::uint64_t pixelCount = picture.pixels.size();
    if (best) {
        BestCompressor compressor;
        const MinimiseStatus status = compressor.compress(indices, pixelCount, colourCount, options, sink);
        failedColour = compressor.failedColour();
        return status;
    }
    PictureCompressor compressor;
    const MinimiseStatus status = compressor.compress(indices, pixelCount, colourCount, options, sink);
    failedColour = compressor.failedColour();
    return status;
}

// Threads for the engines: as many as asked (0: one per core) while the
// working memory stays within memoryLimit; 0 when even one thread would pass
// it. The smaller covers of the best engine add the positions sorted by
// colour and the solver's tables, a few bytes per position.
unsigned compressThreads(std::uint64_t pixelCount, std::uint32_t colourCount, unsigned asked, bool best,
                         std::uint64_t memoryLimit) {
    unsigned threads = asked != 0 ? asked : std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    const int b = positionBitCount(pixelCount);
    const std::uint64_t extra =
        best ? 4 * pixelCount + 8 * (std::uint64_t{colourCount} + 1) + (std::uint64_t{16} << b) : 0;
    const std::uint64_t engineLimit = std::min(CompressOptions{}.memoryLimit, memoryLimit);
    for (; threads > 0; --threads) {
        if (PictureCompressor::workingMemoryBound(pixelCount, colourCount, threads, engineLimit) + extra <= memoryLimit)
            break;
    }
    return threads;
}

}  // namespace qm5
