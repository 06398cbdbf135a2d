// The public faces of the fast engines: one colour (FastMinimiser) and the
// colours of a picture (PictureCompressor), which picks the engine.
#include "minimiser/fast_minimiser.hpp"

#include <algorithm>
#include <bit>

#include "minimiser/bitmap.hpp"
#include "minimiser/colour_engine.hpp"
#include "minimiser/position_code.hpp"
#include "minimiser/prime_engine.hpp"
#include "minimiser/prime_cover.hpp"
#include "minimiser/scheduler.hpp"
#include "minimiser/slab_engine.hpp"

namespace qm5 {

bool FastMinimiser::minimise(std::int32_t entryCount, const std::int32_t* table) {
    record_.reset();
    dataLength_ = 0;
    bitCount_ = 0;
    status_ = MinimiseStatus::ok;
    if (entryCount < 1 || table == nullptr) {
        status_ = MinimiseStatus::invalidTable;
        return false;
    }
    const int b = static_cast<int>(std::bit_width(static_cast<std::uint32_t>(entryCount))) - 1;
    const std::uint64_t size = std::uint64_t{1} << b;
    bitCount_ = b;

    std::uint64_t nonOff = 0;
    std::uint64_t on = 0;
    for (std::uint64_t p = 0; p < size; ++p) {
        if (!isOff(table[p])) ++nonOff;
        if (isOn(table[p])) ++on;
    }
    auto fail = [&](MinimiseStatus status) {
        record_.reset();
        status_ = status;
        return false;
    };
    if (nonOff == 0 || nonOff == size) {
        if (!fast::headRecord(nonOff == 0 ? RecordHead::empty() : RecordHead::whole(), record_)) {
            return fail(MinimiseStatus::outOfMemory);
        }
        return true;
    }
    // Only don't cares besides the off positions: no cube is written.
    if (on == 0) {
        if (!fast::encodeRecord({}, b, record_)) return fail(MinimiseStatus::outOfMemory);
        return true;
    }
    if (b > fast::kMaxBits) return fail(MinimiseStatus::outOfMemory);

    auto fill = [&](std::uint64_t* nonOffBits, std::uint64_t* onBits) {
        for (std::uint64_t p = 0; p < size; ++p) {
            if (!isOff(table[p])) bitmap::set(nonOffBits, p);
            if (isOn(table[p])) bitmap::set(onBits, p);
        }
    };
    MinimiseStatus status;
    if (tuning_.engine == FastTuning::Engine::topDown) {
        fast::PrimeWorker worker;
        if (!worker.prepare(b, tuning_)) return fail(MinimiseStatus::outOfMemory);
        fill(worker.nonOff.data(), worker.cover.onWords());
        status = worker.run(b, tuning_, record_);
    } else {
        fast::ColourWorker worker;
        if (!worker.prepare(b, tuning_)) return fail(MinimiseStatus::outOfMemory);
        fill(worker.nonOff.data(), worker.cover.onWords());
        status = worker.run(b, tuning_, record_);
    }
    if (status != MinimiseStatus::ok) return fail(status);
    dataLength_ = static_cast<std::int32_t>(record_.size() - kRecordHeadSize);
    return true;
}

MinimiseStatus PictureCompressor::compress(const std::uint32_t* indices, std::uint64_t pixelCount,
                                           std::uint32_t colourCount, const CompressOptions& options,
                                           const Sink& sink) {
    failedColour_ = 0;
    engineUsed_ = FastTuning::Engine::automatic;
    if (indices == nullptr && pixelCount > 0) return MinimiseStatus::invalidTable;
    fast::PictureJob job(indices, pixelCount, colourCount, options, sink);
    job.tuning = tuning_;
    const MinimiseStatus status = [&] {
        if (colourCount == 0) return MinimiseStatus::ok;
        const MinimiseStatus classified = job.classify();
        if (classified != MinimiseStatus::ok) return classified;
        if (job.generalCount == 0 || job.b > fast::kMaxBits) return job.failFrom(0);
        // The all-colours engine when it fits, else the per-colour one; a
        // picture that fits neither is refused before anything is allocated.
        const fast::EnginePlan plan = fast::planEngine(job.b, colourCount, job.threads, tuning_, options.memoryLimit);
        const bool automatic = tuning_.engine == FastTuning::Engine::automatic;
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
