#pragma once
// The records of a texture's images under palette orders, for the palette
// order search (palette_order.hpp).
//
// The colour at index i of an order has, in each image, the record --best
// writes for on = the positions of that colour, don't care = the positions
// of the colours at indices below i and those past the picture, off = the
// rest. A record thus depends on the image, the colour and the set of
// colours below it, not on their order: a change of the order within
// indices lo to hi - 1 changes the records of those indices only. Records
// are kept in a cache under (image, colour, set below); a set is named by
// two 64-bit sums (XOR) of random keys of its colours present in the image,
// so that two sets share a name with a chance of about 2^-128 per pair.
//
// Evaluations run records on the caller's threads in chunks whose contents
// do not depend on the thread count, so every figure the search decides by
// (sizes, work, cuts) is the same on every machine and thread count.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "core/heap_array.hpp"
#include "minimiser/best_cover.hpp"
#include "minimiser/best_record.hpp"
#include "minimiser/picture_compressor.hpp"

namespace qm5::fast {

// A record as the evaluator holds it: an entry of the cache, or one of the
// heads without data (3 bytes, never cached).
using RecordRef = std::uint32_t;
inline constexpr RecordRef kEmptyRecord = 0xFFFFFFF0u;
inline constexpr RecordRef kWholeRecord = 0xFFFFFFF1u;
inline constexpr RecordRef kBareRecord = 0xFFFFFFF2u;

// The size of an order that is of no use: cut, over budget, or with a
// record too long.
inline constexpr std::uint64_t kNoSize = ~std::uint64_t{0};

class OrderEvaluator {
public:
    OrderEvaluator();
    ~OrderEvaluator();
    OrderEvaluator(const OrderEvaluator&) = delete;
    OrderEvaluator& operator=(const OrderEvaluator&) = delete;

    // images: arrays of pixelCount indices below colourCount. invalidTable
    // for an index out of range; outOfMemory when storage cannot be had or
    // b is past what the engines take. The records' working memory (prime
    // search, bitmaps, candidates, cover) is counted, and an evaluation
    // fails with outOfMemory when a record alone would take more than
    // memoryLimit less uncountedBytes.
    MinimiseStatus prepare(std::span<const std::uint32_t* const> images, std::uint64_t pixelCount,
                           std::uint32_t colourCount, unsigned threads, const CoverLimits& limits,
                           std::uint64_t memoryLimit);

    // Working memory of prepare and of the evaluations, cache included, that
    // is not counted (bytes).
    static std::uint64_t uncountedBytes(std::uint64_t pixelCount, std::uint32_t colourCount, std::uint64_t imageCount,
                                        unsigned threads);
    // The least working memory: the uncounted bytes and what each worker
    // keeps between records.
    static std::uint64_t bytesFor(std::uint64_t pixelCount, std::uint32_t colourCount, std::uint64_t imageCount,
                                  unsigned threads);

    std::uint32_t colours() const { return colours_; }
    std::size_t images() const { return images_; }
    // Pixels of colour c over all images.
    std::uint64_t totalCount(std::uint32_t c) const { return totals_[c]; }
    // The positions of colour c in image m, ascending.
    std::uint64_t count(std::size_t m, std::uint32_t c) const {
        return firstOf_[m * (colours_ + 1) + c + 1] - firstOf_[m * (colours_ + 1) + c];
    }
    std::span<const std::uint32_t> positions(std::size_t m, std::uint32_t c) const {
        const std::uint64_t at = firstOf_[m * (colours_ + 1) + c];
        return {byColour_.data() + m * pixels_ + at, static_cast<std::size_t>(count(m, c))};
    }

    // The records of indices lo .. hi - 1 of every image under order
    // (order[i]: the colour at index i, every colour once) into
    // refs[m * colours() + i]; returns the sum of all records of the order,
    // outside being those outside lo .. hi - 1. Returns kNoSize, leaving
    // refs partly filled, as soon as that sum is sure to reach cutoff
    // (every record takes 3 bytes at least), a record is too long
    // (tooLongAt()), or the work passes workLimit (overBudget()); and when
    // storage runs out (status()).
    std::uint64_t evaluate(std::span<const std::uint32_t> order, std::uint32_t lo, std::uint32_t hi,
                           std::uint64_t outside, std::uint64_t cutoff, std::uint64_t workLimit,
                           RecordRef* refs);

    std::uint64_t size(RecordRef ref) const;
    // The work computing the record took (0 for a head without data), for
    // foreseeing what an order that replaces it will cost.
    std::uint64_t cost(RecordRef ref) const;
    std::span<const std::uint8_t> record(RecordRef ref) const;

    // Work of every record computed so far (cache hits cost none), in
    // PrimeSearch's units; records computed.
    std::uint64_t work() const { return work_; }
    std::uint64_t computed() const { return computed_; }
    // Work done outside the records (the search's own steps), counted as theirs.
    void addWork(std::uint64_t units) { work_ += units; }
    // work() and an estimate of the records of the chunk being computed,
    // for progress only (it depends on the threads).
    std::uint64_t progressWork() const { return work_ + inFlight_; }
    MinimiseStatus status() const { return status_; }
    bool overBudget() const { return overBudget_; }
    // image * colours() + index of the record of the last evaluation found
    // too long (kNoSize: none).
    std::uint64_t tooLongAt() const { return tooLongAt_; }

    // Called on the calling thread after every chunk of an evaluation and
    // after each record the calling thread computes.
    void setProgress(std::function<void()> progress) { progress_ = std::move(progress); }
    // Once *stop is set, an evaluation ends after its chunk (kNoSize) and
    // stopped() holds: the caller wants no more.
    void setStop(const std::atomic<bool>* stop) { stop_ = stop; }
    bool stopped() const { return stop_ != nullptr && stop_->load(std::memory_order_relaxed); }

    // When the cache holds more than kOrderCacheBytes, drops the records
    // not in keep and renumbers keep's refs in place; false when storage
    // cannot be had (status() is then outOfMemory).
    [[nodiscard]] bool trimCache(std::span<RecordRef> keep);

private:
    // find(): no entry.
    static constexpr RecordRef kMissing = ~RecordRef{0};
    struct Task {
        std::uint32_t image = 0;
        std::uint32_t index = 0;
        std::uint32_t colour = 0;
        std::uint32_t part = 0;  // the worker that computed it
        std::uint64_t setA = 0;
        std::uint64_t setB = 0;
        RecordRef ref = 0;
        MinimiseStatus status = MinimiseStatus::ok;
        bool overBudget = false;   // its search passed the work limit
        bool crowded = false;      // out of memory: to run again, every worker's storage given back
        std::uint64_t offset = 0;  // the record in its worker's out
        std::uint64_t length = 0;
        std::uint64_t work = 0;
        std::uint64_t upkeep = 0;  // of the bitmaps, as counted (see follow)

        // A record too long ends its evaluation.
        bool ends() const { return status == MinimiseStatus::recordTooLong && !overBudget && !crowded; }
    };
    // The colours below an index in one image, those a worker's bitmap
    // holds (or, for the count, those it would hold).
    struct Filled {
        HeapArray<std::uint32_t> colours;
        std::uint32_t count = 0;
        std::size_t image = ~std::size_t{0};
    };
    struct Worker;
    struct Entry {
        std::uint64_t setA;
        std::uint64_t setB;
        std::uint32_t image;
        std::uint32_t colour;
        std::uint64_t offset;  // in arena_
        std::uint32_t length : 24;
        std::uint32_t tooLong : 1;
        std::uint32_t cost;    // the work of computing it >> kCostShift, at most 2^32 - 1
    };
    // The cache's bound counts its entries, so their size decides which
    // records stay, and with them the work and the order found.
    static_assert(sizeof(Entry) == 40);
    static constexpr int kCostShift = 6;

    std::uint64_t follow(Filled& f, std::span<const std::uint32_t> order, const Task& task,
                         std::uint64_t* nonOff) const;
    // allowance: the work the record may take.
    void computeRecord(Worker& w, std::span<const std::uint32_t> order, Task& task, std::uint64_t allowance);
    bool runTasks(std::span<const std::uint32_t> order, Task* tasks, std::size_t count, std::uint64_t workLimit);
    static std::uint64_t slotHash(std::uint64_t setA, std::uint32_t image, std::uint32_t colour);
    RecordRef find(const Task& task) const;
    [[nodiscard]] bool insert(const Task& task, std::span<const std::uint8_t> record, bool tooLong, RecordRef& ref);
    [[nodiscard]] bool rehash(std::uint64_t slots);

    int b_ = 0;
    std::uint64_t pixels_ = 0;
    std::uint32_t colours_ = 0;
    std::size_t images_ = 0;
    unsigned threads_ = 1;
    CoverLimits limits_;
    HeapArray<std::uint64_t> firstOf_;   // per image, colours + 1 offsets into its part of byColour_
    HeapArray<std::uint32_t> byColour_;  // per image, its positions by colour, each list ascending
    HeapArray<std::uint64_t> totals_;    // pixels per colour over all images
    HeapArray<std::uint64_t> keyA_;      // per colour: the random keys naming sets
    HeapArray<std::uint64_t> keyB_;

    HeapArray<Entry> entries_;
    std::uint32_t entryCount_ = 0;
    HeapArray<std::uint32_t> slots_;     // open addressing: entry + 1, 0 = free
    HeapArray<std::uint8_t> arena_;      // the cached records' bytes
    std::uint64_t arenaUsed_ = 0;

    MemoryAccount account_;              // the workers' accounts take from it
    std::uint64_t recordLimit_ = 0;      // each worker's own limit
    std::unique_ptr<Worker[]> workers_;
    Filled counted_;  // one worker taking every task in turn, for the count
    std::uint8_t bare_[3] = {0, 0, 0};  // the head of a general record without cubes
    std::function<void()> progress_;
    const std::atomic<bool>* stop_ = nullptr;
    std::uint64_t work_ = 0;
    std::uint64_t inFlight_ = 0;
    std::uint64_t computed_ = 0;
    std::uint64_t tooLongAt_ = kNoSize;
    bool overBudget_ = false;
    MinimiseStatus status_ = MinimiseStatus::ok;
};

}  // namespace qm5::fast
