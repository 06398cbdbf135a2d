// BestCompressor: the colours of a picture with the covers of CoverSolver.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "minimiser/best_cover.hpp"
#include "minimiser/best_record.hpp"
#include "minimiser/scheduler.hpp"

namespace qm5 {

namespace {

// A thread's worker, its account and the colours its non-off bitmap holds.
struct ColourWorker {
    MemoryAccount account;
    fast::BestWorker best;
    std::uint32_t upTo = 0;       // nonOff holds the colours below it
    std::uint32_t onColour = 0;   // on holds this colour's positions
    bool filled = false;
};

// Records run side by side (shared) or one alone. std::shared_mutex would
// do, but MinGW's, over the Windows threads library's read-write lock,
// failed its own assertion in lock_shared() under load; this needs only a
// mutex and a condition. A thread waiting to run alone keeps new records out.
class RecordGate {
public:
    void lock_shared() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !alone_; });
        ++running_;
    }
    void unlock_shared() {
        const std::lock_guard lock(mutex_);
        if (--running_ == 0) changed_.notify_all();
    }
    void lock() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !alone_; });
        alone_ = true;
        changed_.wait(lock, [&] { return running_ == 0; });
    }
    void unlock() {
        const std::lock_guard lock(mutex_);
        alone_ = false;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned running_ = 0;
    bool alone_ = false;
};

// Fills the worker's bitmaps for colour c, at or above any colour before:
// the non-off set grows by the colours since the last one.
bool start(fast::PictureJob& job, ColourWorker& worker, std::uint32_t c) {
    if (!worker.best.prepare(job.b)) return false;
    std::uint64_t* nonOff = worker.best.nonOff.data();
    std::uint64_t* on = worker.best.on.data();
    if (!worker.filled) {
        const std::uint64_t domain = std::uint64_t{1} << job.b;
        for (std::uint64_t p = job.pixels; p < domain; ++p) bitmap::set(nonOff, p);
        worker.upTo = 0;
        worker.filled = true;
    } else {
        for (std::uint64_t i = job.firstOf[worker.onColour]; i < job.firstOf[worker.onColour + 1]; ++i) {
            on[job.byColour[i] >> 6] = 0;
        }
    }
    for (; worker.upTo <= c; ++worker.upTo) job.fillOn(worker.upTo, nonOff);
    job.fillOn(c, on);
    worker.onColour = c;
    return true;
}

// The record of general colour c of the picture.
MinimiseStatus pictureRecord(fast::PictureJob& job, const CoverLimits& limits, ColourWorker& worker,
                             std::uint32_t c, HeapArray<std::uint8_t>& record) {
    if (!start(job, worker, c)) return MinimiseStatus::outOfMemory;
    const std::span<const std::uint32_t> on(job.byColour.data() + job.firstOf[c],
                                            static_cast<std::size_t>(job.firstOf[c + 1] - job.firstOf[c]));
    return fast::bestRecord(worker.best, job.b, on, limits, record, &job.done);
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
        // The memory limit less the positions by colour and the colours' kinds.
        const std::uint64_t held = 4 * pixelCount + 9 * (std::uint64_t{colourCount} + 1);
        const std::uint64_t limit = options.memoryLimit - std::min(options.memoryLimit, held);
        MemoryAccount account(limit);
        std::unique_ptr<ColourWorker[]> workers(new (std::nothrow) ColourWorker[job.threads]);
        if (!workers) return MinimiseStatus::outOfMemory;
        for (unsigned w = 0; w < job.threads; ++w) {
            workers[w].account.open(limit, &account);
            workers[w].best.setAccount(&workers[w].account);
        }
        job.total.store(std::uint64_t{job.generalCount} * fast::kSearchShare);
        // A record runs beside the others' under a shared lock. One that
        // runs out of memory runs again alone, from nothing: every worker's
        // storage given back, its own included. Whether the job's account
        // refused it (crowded by other threads) or its own did (after what
        // the worker kept from the colours it happened to take before), the
        // second run needs what the record needs on its own, so a record
        // fits or not whatever the thread count.
        RecordGate alone;
        const fast::RecordJob colourJob = [&](unsigned w, std::uint32_t c, HeapArray<std::uint8_t>& record) {
            if (!job.isGeneral(c)) return job.special(c, record);
            ColourWorker& worker = workers[w];
            {
                const std::shared_lock lock(alone);
                worker.account.reset(limit);
                const MinimiseStatus status = pictureRecord(job, limits_, worker, c, record);
                if (status != MinimiseStatus::outOfMemory) return status;
            }
            const std::unique_lock lock(alone);
            for (unsigned other = 0; other < job.threads; ++other) {
                if (other == w) continue;
                workers[other].best.release();
                workers[other].filled = false;
            }
            worker.account.reset(limit);
            worker.best.release();
            worker.filled = false;
            return pictureRecord(job, limits_, worker, c, record);
        };
        return job.deliver(job.threads, 0, colourCount, colourJob);
    }();
    failedColour_ = job.failed;
    job.report(true);
    return status;
}

}  // namespace qm5
