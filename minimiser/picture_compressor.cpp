// PictureCompressor: the colours of a picture, through the engine the
// scheduler picks.
#include "minimiser/picture_compressor.hpp"

#include <algorithm>

#include "minimiser/prime_engine.hpp"
#include "minimiser/scheduler.hpp"
#include "minimiser/slab_engine.hpp"

namespace qm5 {

MinimiseStatus PictureCompressor::compress(const std::uint32_t* indices, std::uint64_t pixelCount,
                                           std::uint32_t colourCount, const CompressOptions& options,
                                           const Sink& sink) {
    failedColour_ = 0;
    engineUsed_ = MinimiserEngine::automatic;
    if (indices == nullptr && pixelCount > 0) return MinimiseStatus::invalidTable;
    fast::PictureJob job(indices, pixelCount, colourCount, options, sink);
    job.tuning = tuning_;
    const MinimiseStatus status = [&] {
        if (colourCount == 0) return MinimiseStatus::ok;
        const MinimiseStatus classified = job.classify();
        if (classified != MinimiseStatus::ok) return classified;
        if (job.generalCount == 0 || job.b > fast::kMaxBits) return job.failFrom(0);
        // The all-colours engine when it fits, else top-down; a picture
        // that fits neither is refused before anything is allocated.
        const fast::EnginePlan plan = fast::planEngine(job.b, colourCount, job.threads, tuning_, options.memoryLimit);
        const bool automatic = tuning_.engine == MinimiserEngine::automatic;
        if (automatic && plan.bytes > options.memoryLimit) return job.failFrom(0);
        if (!job.listPositions()) return MinimiseStatus::outOfMemory;
        return fast::runPlan(job, plan, automatic);
    }();
    failedColour_ = job.failed;
    engineUsed_ = job.engineUsed;
    job.report(true);
    return status;
}

std::uint64_t PictureCompressor::workingMemoryBound(std::uint64_t pixelCount, std::uint32_t colourCount,
                                                    unsigned threads, std::uint64_t memoryLimit) {
    threads = std::clamp(threads, 1u, fast::kMaxThreads);
    const int b = positionBitCount(pixelCount);
    std::uint64_t bound = fast::commonBytes(pixelCount, colourCount, threads);
    if (b <= fast::kMaxBits) bound += fast::planEngine(b, colourCount, threads, FastTuning{}, memoryLimit).bytes;
    return bound;
}

}  // namespace qm5
