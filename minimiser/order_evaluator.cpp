// OrderEvaluator: the records of the images under an order, computed in
// chunks on the threads, their work counted as one thread would take them.
// (Over 400 lines: the positions by colour, the workers' bitmaps and the
// chunks share the workers and the count; the cache is order_cache.cpp.)
#include "minimiser/order_evaluator.hpp"

#include <algorithm>
#include <new>

#include "minimiser/bitmap.hpp"
#include "minimiser/limits.hpp"
#include "minimiser/prime_cover.hpp"
#include "minimiser/scheduler.hpp"
#include "texture/texture_format.hpp"

namespace qm5::fast {

namespace {

// Records looked up and computed at once: the unit of the parallel runs, of
// the cut and of the budget.
constexpr std::size_t kChunk = 8;
// Below this many positions times records a chunk runs on one thread:
// starting threads would cost more than they save.
constexpr std::uint64_t kParallelPositions = std::uint64_t{1} << 18;

// SplitMix64 (Steele, Lea, Flood: "Fast splittable pseudorandom number
// generators", 2014): the keys naming sets, the same on every machine.
std::uint64_t splitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}



}  // namespace

std::uint64_t OrderEvaluator::slotHash(std::uint64_t setA, std::uint32_t image, std::uint32_t colour) {
    std::uint64_t state = setA ^ (std::uint64_t{image} << 32 | colour);
    return splitMix(state);
}


// One thread's storage. nonOff holds the positions past the picture and
// those of filled: the colours below the index it last computed, in the
// order it was given then.
struct OrderEvaluator::Worker {
    MemoryAccount account;
    BestWorker best;
    Filled filled;
    HeapArray<std::uint8_t> record;
    HeapArray<std::uint8_t> out;  // the records of the chunk's tasks
    std::uint64_t used = 0;
};

OrderEvaluator::OrderEvaluator() = default;
OrderEvaluator::~OrderEvaluator() = default;

std::uint64_t OrderEvaluator::bytesFor(std::uint64_t pixelCount, std::uint32_t colourCount, std::uint64_t imageCount,
                                       unsigned threads) {
    const int b = positionBitCount(pixelCount);
    return uncountedBytes(pixelCount, colourCount, imageCount, threads) +
           std::clamp(threads, 1u, kMaxThreads) * BestWorker::bytesFor(b);
}

std::uint64_t OrderEvaluator::uncountedBytes(std::uint64_t pixelCount, std::uint32_t colourCount,
                                             std::uint64_t imageCount, unsigned threads) {
    // A worker: its colour list and the records of a chunk. The cache is
    // trimmed once it holds kOrderCacheBytes, and its arrays grow by
    // doubling: twice that at most.
    const std::uint64_t perWorker = 4 * std::uint64_t{colourCount} + kChunk * (kRecordHeadSize + kMaxRecordDataLength);
    return imageCount * (4 * pixelCount + 8 * (std::uint64_t{colourCount} + 1)) + 24 * std::uint64_t{colourCount} +
           std::clamp(threads, 1u, kMaxThreads) * perWorker + 2 * kOrderCacheBytes;
}

MinimiseStatus OrderEvaluator::prepare(std::span<const std::uint32_t* const> images, std::uint64_t pixelCount,
                                       std::uint32_t colourCount, unsigned threads, const CoverLimits& limits,
                                       std::uint64_t memoryLimit) {
    b_ = positionBitCount(pixelCount);
    pixels_ = pixelCount;
    colours_ = colourCount;
    images_ = images.size();
    threads_ = std::clamp(threads, 1u, kMaxThreads);
    limits_ = limits;
    bare_[2] = static_cast<std::uint8_t>(b_);
    if (b_ > kMaxBits) return MinimiseStatus::outOfMemory;
    const std::uint64_t stride = std::uint64_t{colourCount} + 1;
    if (!firstOf_.allocate(images_ * stride) || !byColour_.allocate(images_ * pixelCount) ||
        !totals_.allocate(colourCount) || !keyA_.allocate(colourCount) || !keyB_.allocate(colourCount)) {
        return MinimiseStatus::outOfMemory;
    }
    for (std::size_t m = 0; m < images_; ++m) {
        const std::uint32_t* indices = images[m];
        std::uint64_t* first = firstOf_.data() + m * stride;
        for (std::uint64_t p = 0; p < pixelCount; ++p) {
            if (indices[p] >= colourCount) return MinimiseStatus::invalidTable;
            ++first[indices[p] + 1];
        }
        for (std::uint32_t c = 0; c < colourCount; ++c) {
            totals_[c] += first[c + 1];
            first[c + 1] += first[c];
        }
        // Positions by colour: first[c] runs up to first[c + 1] as the
        // positions go in, and is put back after.
        std::uint32_t* out = byColour_.data() + m * pixelCount;
        for (std::uint64_t p = 0; p < pixelCount; ++p) out[first[indices[p]]++] = static_cast<std::uint32_t>(p);
        for (std::uint32_t c = colourCount; c > 0; --c) first[c] = first[c - 1];
        first[0] = 0;
    }
    std::uint64_t state = 0x716D35u;
    for (std::uint32_t c = 0; c < colourCount; ++c) {
        keyA_[c] = splitMix(state);
        keyB_[c] = splitMix(state);
    }
    workers_.reset(new (std::nothrow) Worker[threads_]);
    if (!workers_) return MinimiseStatus::outOfMemory;
    const std::uint64_t uncounted = uncountedBytes(pixelCount, colourCount, images_, threads_);
    recordLimit_ = memoryLimit - std::min(memoryLimit, uncounted);
    account_.reset(recordLimit_);
    for (unsigned w = 0; w < threads_; ++w) {
        workers_[w].account.open(recordLimit_, &account_);
        workers_[w].best.setAccount(&workers_[w].account);
        if (!workers_[w].filled.colours.allocate(colourCount)) return MinimiseStatus::outOfMemory;
    }
    if (!counted_.colours.allocate(colourCount)) return MinimiseStatus::outOfMemory;
    counted_.count = 0;
    counted_.image = ~std::size_t{0};
    entryCount_ = 0;
    arenaUsed_ = 0;
    work_ = 0;
    computed_ = 0;
    status_ = MinimiseStatus::ok;
    if (!rehash(1024)) return MinimiseStatus::outOfMemory;
    return MinimiseStatus::ok;
}


// Moves f to the colours below task.index in task's image and returns the
// work that takes, a position or a word a unit, with the record's own on
// positions set and cleared: a record after a change low in the order sets
// most of the picture again. With nonOff, does it to that bitmap too.
std::uint64_t OrderEvaluator::follow(Filled& f, std::span<const std::uint32_t> order, const Task& task,
                                     std::uint64_t* nonOff) const {
    std::uint64_t upkeep = 2 * count(task.image, task.colour);
    if (f.image != task.image) {
        const std::uint64_t words = bitmap::wordsFor(b_);
        const std::uint64_t span = std::uint64_t{1} << b_;
        if (nonOff != nullptr) {
            std::fill_n(nonOff, words, std::uint64_t{0});
            for (std::uint64_t p = pixels_; p < span; ++p) bitmap::set(nonOff, p);
        }
        upkeep += words + (span - pixels_);
        f.image = task.image;
        f.count = 0;
    }
    // Keep the common start of what f holds, take out the rest, put in the
    // new ones.
    const std::uint32_t common = std::min(f.count, task.index);
    const auto same = static_cast<std::uint32_t>(
        std::mismatch(f.colours.data(), f.colours.data() + common, order.data()).first - f.colours.data());
    for (std::uint32_t k = same; k < f.count; ++k) {
        if (nonOff != nullptr) {
            for (const std::uint32_t p : positions(task.image, f.colours[k])) {
                nonOff[p >> 6] &= ~(std::uint64_t{1} << (p & 63));
            }
        }
        upkeep += count(task.image, f.colours[k]);
    }
    for (std::uint32_t k = same; k < task.index; ++k) {
        f.colours[k] = order[k];
        if (nonOff != nullptr) {
            for (const std::uint32_t p : positions(task.image, order[k])) bitmap::set(nonOff, p);
        }
        upkeep += count(task.image, order[k]);
    }
    f.count = task.index;
    return upkeep;
}

void OrderEvaluator::computeRecord(Worker& w, std::span<const std::uint32_t> order, Task& task,
                                   std::uint64_t allowance) {
    const int b = b_;
    if (w.best.nonOff.empty()) w.filled.image = ~std::size_t{0};  // new bitmaps: to be filled
    if (!w.best.prepare(b)) {
        task.status = MinimiseStatus::outOfMemory;
        return;
    }
    std::uint64_t* nonOff = w.best.nonOff.data();
    follow(w.filled, order, task, nonOff);
    // What this worker did depends on the task it took before; the work
    // counted is task.upkeep, the same whatever the threads.
    const std::uint64_t upkeep = task.upkeep;
    const std::span<const std::uint32_t> on = positions(task.image, task.colour);
    std::uint64_t* onWords = w.best.on.data();
    for (const std::uint32_t p : on) {
        bitmap::set(nonOff, p);
        bitmap::set(onWords, p);
    }
    PrimeSearch& search = w.best.search;
    const std::uint64_t before = w.best.work();
    const std::uint64_t left = allowance - std::min(allowance, upkeep);
    search.limitCost(search.cost() + std::min(left, ~std::uint64_t{0} - search.cost()));
    w.best.workLimit = before + std::min(left, ~std::uint64_t{0} - before);
    w.best.solver.limitWork(~std::uint64_t{0});
    w.account.reset(recordLimit_);
    task.status = bestRecord(w.best, b, on, limits_, w.record);
    // Out of memory beside the other threads' records, or after what this
    // worker kept from the tasks it happened to take: run again alone.
    task.crowded = task.status == MinimiseStatus::outOfMemory;
    // A cut search leaves the cover unsolved, so only a stop of this record counts.
    task.overBudget = search.stopped() || w.best.solver.stopped();
    search.limitCost(~std::uint64_t{0});
    w.best.workLimit = ~std::uint64_t{0};
    task.work = w.best.work() - before + upkeep;
    for (const std::uint32_t p : on) {
        nonOff[p >> 6] &= ~(std::uint64_t{1} << (p & 63));
        onWords[p >> 6] = 0;
    }
    if (task.status != MinimiseStatus::ok || task.overBudget) return;
    if (!w.out.grow(w.used + w.record.size())) {
        task.status = MinimiseStatus::outOfMemory;
        return;
    }
    std::copy(w.record.begin(), w.record.end(), w.out.data() + w.used);
    task.offset = w.used;
    task.length = w.record.size();
    w.used += w.record.size();
}

// The records of a chunk's tasks: computed on the threads, then settled in
// task order as one worker taking them in turn would have: each record may
// spend what the records before it left of the chunk's work, and the first
// that would pass it ends the chunk, counted at what it was allowed.
// A part of the chunk on a thread of its own knows only the work of its
// own records before each, so it allows a record at least that (never
// less than one worker would); a record's work does not depend on its
// allowance unless it passes it, so that a record kept within what one
// worker would allow is the same record, at the same work, whatever the
// threads. Records of a part after one that passes are past the end.
// (Slightly over 60 lines: each step keeps the result independent of the threads.)
bool OrderEvaluator::runTasks(std::span<const std::uint32_t> order, Task* tasks, std::size_t count,
                              std::uint64_t workLimit) {
    const std::uint64_t room = workLimit == ~std::uint64_t{0} ? workLimit
                               : workLimit <= work_          ? 0
                                                             : workLimit - work_;
    const bool parallel = threads_ > 1 && count > 1 && count * pixels_ >= kParallelPositions;
    const unsigned parts = parallel ? threads_ : 1;
    // Part 0 runs on the calling thread: it reports progress record by
    // record, its work standing for every part's (display only).
    auto run = [&](unsigned part, std::uint64_t begin, std::uint64_t end) {
        Worker& w = workers_[part];
        w.used = 0;
        std::uint64_t own = 0;  // work of this part's records so far
        for (std::uint64_t t = begin; t < end; ++t) {
            tasks[t].part = part;
            computeRecord(w, order, tasks[t], room - std::min(room, own));
            // A record out of memory runs again below, to another work: none counted here.
            own += tasks[t].crowded ? 0 : tasks[t].work;
            if (part == 0 && progress_) {
                inFlight_ += tasks[t].work * parts;
                progress_();
            }
            if (tasks[t].ends() || (tasks[t].overBudget && !tasks[t].crowded) || own > room) break;
        }
    };
    // The bitmaps' upkeep counted as if one worker took the tasks in turn.
    for (std::size_t t = 0; t < count; ++t) tasks[t].upkeep = follow(counted_, order, tasks[t], nullptr);
    inFlight_ = 0;
    if (parallel) {
        parallelParts(threads_, count, run);
    } else {
        run(0, 0, count);
    }
    inFlight_ = 0;
    // In task order: a record out of memory runs again alone, every
    // worker's storage given back, so that whether it fits does not depend
    // on the threads or on what a worker held before; the first record too
    // long, or past what the records before it left, ends the chunk (the
    // records after it are neither counted nor cached, those a thread did
    // compute included).
    std::uint64_t spent = 0;
    for (std::size_t t = 0; t < count; ++t) {
        Task& task = tasks[t];
        const std::uint64_t allowance = room - std::min(room, spent);
        if (task.crowded) {
            for (unsigned other = 0; other < threads_; ++other) workers_[other].best.release();
            task.status = MinimiseStatus::ok;
            task.part = 0;
            computeRecord(workers_[0], order, task, allowance);
        }
        // Computed: a part stops only after a record at or past the end.
        if (task.overBudget || task.work > allowance) {
            task.overBudget = true;
            task.work = allowance;
        }
        spent += task.work;
        if (task.ends() || task.overBudget) {
            count = t + 1;
            break;
        }
    }
    // The count goes on from the last task kept, as one worker would.
    if (count != 0) follow(counted_, order, tasks[count - 1], nullptr);
    // In task order, so that the cache and the counts do not depend on
    // the threads.
    for (std::size_t t = 0; t < count; ++t) {
        Task& task = tasks[t];
        work_ += task.work;
        ++computed_;
        if (task.overBudget) {
            overBudget_ = true;
        } else if (task.status != MinimiseStatus::ok && task.status != MinimiseStatus::recordTooLong) {
            status_ = task.status;
        }
    }
    if (overBudget_ || status_ != MinimiseStatus::ok) return false;
    for (std::size_t t = 0; t < count; ++t) {
        Task& task = tasks[t];
        const bool tooLong = task.status == MinimiseStatus::recordTooLong;
        const Worker& w = workers_[task.part];
        const std::span<const std::uint8_t> bytes =
            tooLong ? std::span<const std::uint8_t>{}
                    : std::span<const std::uint8_t>{w.out.data() + task.offset, static_cast<std::size_t>(task.length)};
        if (!insert(task, bytes, tooLong, task.ref)) {
            status_ = MinimiseStatus::outOfMemory;
            return false;
        }
    }
    return true;
}

// Longer than most: one walk over the images and indices of the range, whose
// chunk flush (a lambda) shares the walk's running total, unknown count and
// pending records, so that the cut and the budget are checked at each chunk
// in one place.
std::uint64_t OrderEvaluator::evaluate(std::span<const std::uint32_t> order, std::uint32_t lo, std::uint32_t hi,
                                       std::uint64_t outside, std::uint64_t cutoff, std::uint64_t workLimit,
                                       RecordRef* refs) {
    const std::uint64_t domain = std::uint64_t{1} << b_;
    tooLongAt_ = kNoSize;
    overBudget_ = false;
    std::uint64_t total = outside;
    // Records of the range not yet known, 3 bytes each at least.
    std::uint64_t unknown = images_ * std::uint64_t{hi - lo};
    Task pending[kChunk];
    std::size_t pendingCount = 0;
    // Looks the pending records up, computes the others; false when the
    // evaluation ends.
    auto flush = [&]() -> bool {
        Task misses[kChunk];
        std::size_t missCount = 0;
        for (std::size_t t = 0; t < pendingCount; ++t) {
            pending[t].ref = find(pending[t]);
            if (pending[t].ref == kMissing) misses[missCount++] = pending[t];
        }
        const bool ran = runTasks(order, misses, missCount, workLimit);
        if (progress_) progress_();
        if (!ran || stopped()) return false;
        for (std::size_t t = 0, k = 0; t < pendingCount; ++t) {
            if (pending[t].ref == kMissing) pending[t].ref = misses[k++].ref;
            refs[pending[t].image * std::uint64_t{colours_} + pending[t].index] = pending[t].ref;
            const std::uint64_t bytes = size(pending[t].ref);
            if (bytes == kNoSize) {
                // The misses after it were not computed.
                tooLongAt_ = pending[t].image * std::uint64_t{colours_} + pending[t].index;
                return false;
            }
            total = total == kNoSize ? kNoSize : total + bytes;
            --unknown;
        }
        pendingCount = 0;
        if (total == kNoSize || total + kRecordHeadSize * unknown >= cutoff) return false;
        if (unknown > 0 && work_ >= workLimit) {
            overBudget_ = true;
            return false;
        }
        return true;
    };
    for (std::size_t m = 0; m < images_; ++m) {
        // The set below lo: its names and its non-off positions.
        std::uint64_t setA = 0;
        std::uint64_t setB = 0;
        std::uint64_t nonOff = domain - pixels_;
        for (std::uint32_t i = 0; i < lo; ++i) {
            const std::uint32_t c = order[i];
            if (count(m, c) == 0) continue;
            setA ^= keyA_[c];
            setB ^= keyB_[c];
            nonOff += count(m, c);
        }
        for (std::uint32_t i = lo; i < hi; ++i) {
            const std::uint32_t c = order[i];
            const std::uint64_t n = count(m, c);
            nonOff += n;
            // The kinds of head, as the compressors tell them.
            RecordRef special = kMissing;
            if (nonOff == 0) {
                special = kEmptyRecord;
            } else if (nonOff == domain) {
                special = kWholeRecord;
            } else if (n == 0) {
                special = kBareRecord;
            } else {
                Task& task = pending[pendingCount++];
                task = Task{};
                task.image = static_cast<std::uint32_t>(m);
                task.index = i;
                task.colour = c;
                task.setA = setA;
                task.setB = setB;
            }
            if (special != kMissing) {
                refs[m * colours_ + i] = special;
                total += kRecordHeadSize;
                --unknown;
            }
            if (n > 0) {
                setA ^= keyA_[c];
                setB ^= keyB_[c];
            }
            if (pendingCount == kChunk && !flush()) return kNoSize;
        }
    }
    if (pendingCount > 0 && !flush()) return kNoSize;
    return total < cutoff ? total : kNoSize;
}

}  // namespace qm5::fast
