// BestCompressor: the colours of a picture with the covers of CoverSolver.
#include <memory>
#include <new>

#include "minimiser/best_cover.hpp"
#include "minimiser/best_record.hpp"
#include "minimiser/scheduler.hpp"

namespace qm5 {

namespace {

// The record of general colour c of the picture.
MinimiseStatus pictureRecord(fast::PictureJob& job, const CoverLimits& limits, fast::BestWorker& worker,
                             std::uint32_t c, HeapArray<std::uint8_t>& record) {
    if (!worker.prime.start(job, c)) return MinimiseStatus::outOfMemory;
    const std::span<const std::uint32_t> on(job.byColour.data() + job.firstOf[c],
                                            static_cast<std::size_t>(job.firstOf[c + 1] - job.firstOf[c]));
    return fast::bestRecord(worker, job.b, on, limits, record, &job.done);
}

}  // namespace

MinimiseStatus BestCompressor::compress(const std::uint32_t* indices, std::uint64_t pixelCount,
                                        std::uint32_t colourCount, const CompressOptions& options, const Sink& sink) {
    failedColour_ = 0;
    if (indices == nullptr && pixelCount > 0) return MinimiseStatus::invalidTable;
    fast::PictureJob job(indices, pixelCount, colourCount, options, sink);
    const MinimiseStatus status = [&] {
        if (colourCount == 0) return MinimiseStatus::ok;
        if (positionBitCount(pixelCount) > kMaxPositionBits) return MinimiseStatus::outOfMemory;
        const MinimiseStatus classified = job.classify();
        if (classified != MinimiseStatus::ok) return classified;
        if (!job.listPositions()) return MinimiseStatus::outOfMemory;
        std::unique_ptr<fast::BestWorker[]> workers(new (std::nothrow) fast::BestWorker[job.threads]);
        if (!workers) return MinimiseStatus::outOfMemory;
        job.total.store(std::uint64_t{job.generalCount} * fast::kSearchShare);
        const fast::RecordJob colourJob = [&](unsigned w, std::uint32_t c, HeapArray<std::uint8_t>& record) {
            if (!job.isGeneral(c)) return job.special(c, record);
            return pictureRecord(job, limits_, workers[w], c, record);
        };
        return job.deliver(job.threads, 0, colourCount, colourJob);
    }();
    failedColour_ = job.failed;
    job.report(true);
    return status;
}

}  // namespace qm5
