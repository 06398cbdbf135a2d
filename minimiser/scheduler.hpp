#pragma once
// Scheduling of the fast minimisers: loops split over threads, the colours
// of one picture delivered in colour order, and the choice of engine within
// the memory budget.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "core/heap_array.hpp"
#include "minimiser/picture_compressor.hpp"

namespace qm5::fast {

// Threads at most; the delivery window keeps two records per thread.
inline constexpr unsigned kMaxThreads = 64;

// Runs f(part, begin, end) for parts 0 .. parts - 1 over [0, n), part p
// taking [p * n / parts, (p + 1) * n / parts), on up to parts threads (the
// calling thread included). When a thread cannot be started its parts run
// on the calling thread, so the split, and any per-part result, stays the
// same.
template <class F>
void parallelParts(unsigned parts, std::uint64_t n, const F& f) {
    parts = std::clamp(parts, 1u, kMaxThreads);
    auto range = [&](unsigned p) {
        const std::uint64_t begin = n / parts * p + std::min<std::uint64_t>(p, n % parts);
        const std::uint64_t end = begin + n / parts + (p < n % parts ? 1 : 0);
        f(p, begin, end);
    };
    if (parts == 1 || n == 0) {
        for (unsigned p = 0; p < parts; ++p) range(p);
        return;
    }
    std::array<std::thread, kMaxThreads> pool;
    std::array<bool, kMaxThreads> started{};
    for (unsigned p = 1; p < parts; ++p) {
        try {
            pool[p] = std::thread(range, p);
            started[p] = true;
        } catch (...) {
            started[p] = false;
        }
    }
    range(0);
    for (unsigned p = 1; p < parts; ++p) {
        if (started[p]) {
            pool[p].join();
        } else {
            range(p);
        }
    }
}

// What a colour's record is, from the counts of its on and non-off
// positions alone.
enum class ColourKind : std::uint8_t {
    empty,    // no position is non-off: 00 00 00
    whole,    // no position is off: 80 00 00
    bare,     // no position is on: a head without cubes
    general,  // cubes to find
};

// Computes colour's record on behalf of worker (0 .. threads - 1).
using RecordJob = std::function<MinimiseStatus(unsigned worker, std::uint32_t colour, HeapArray<std::uint8_t>& record)>;

// The colours of one picture, as every engine sees them: colour c's table
// is on = index c, don't care = index below c or position P .. 2^b - 1,
// off = index above c.
struct PictureJob {
    PictureJob(const std::uint32_t* indices_, std::uint64_t pixels_, std::uint32_t colours_, const CompressOptions& options,
               const PictureCompressor::Sink& sink_)
        : indices(indices_), pixels(pixels_), colours(colours_), threads(std::clamp(options.threads, 1u, kMaxThreads)),
          sink(&sink_), progress(&options.progress) {}

    const std::uint32_t* indices = nullptr;
    std::uint64_t pixels = 0;
    std::uint32_t colours = 0;
    unsigned threads = 1;
    FastTuning tuning;
    const PictureCompressor::Sink* sink = nullptr;
    const CompressOptions::Progress* progress = nullptr;
    std::atomic<std::uint64_t> done{0};   // units of work done, added by any thread
    std::atomic<std::uint64_t> total{0};  // units of the whole work
    std::chrono::steady_clock::time_point lastReport{};

    int b = 0;
    std::uint32_t generalCount = 0;
    HeapArray<ColourKind> kinds;
    HeapArray<std::uint64_t> firstOf;  // colour c's positions: byColour[firstOf[c] .. firstOf[c + 1])
    HeapArray<std::uint32_t> byColour;
    std::uint32_t first = 0;   // the engines deliver colours from here on
    MinimiserEngine engineUsed = MinimiserEngine::automatic;  // the last that ran
    std::uint32_t failed = 0;  // the colour that failed
    bool stopped = false;      // the sink asked to stop
    // The lowest colour a budgeted top-down run left undone (none: ~0).
    std::atomic<std::uint32_t> overBudgetAt{~std::uint32_t{0}};

    // Sets b, kinds and generalCount; invalidTable for an index outside
    // the palette.
    MinimiseStatus classify();
    // Lists the positions of each colour (firstOf, byColour).
    [[nodiscard]] bool listPositions();
    bool isGeneral(std::uint32_t c) const { return kinds[c] == ColourKind::general; }
    // The record of a colour that is not general.
    MinimiseStatus special(std::uint32_t c, HeapArray<std::uint8_t>& record) const;
    // Sets the bits of colour c's positions.
    void fillOn(std::uint32_t c, std::uint64_t* on) const;

    // Calls progress with done and total, at most a few times a second
    // unless forced; only on the thread that called compress.
    void report(bool force = false);
    // An engine starts: done from 0 of total.
    void restartProgress(std::uint64_t units) {
        done.store(0);
        total.store(units);
    }
    // The general colours from first on.
    std::uint32_t generalFromFirst() const;

    // Computes job for colours first .. last - 1 on `threads` threads, at
    // most 2 * threads ahead of delivery, and hands the records to the sink
    // in colour order on the calling thread, which reports progress while it
    // waits (with progress, one thread works even when threads is 1). Stops at the first failing
    // colour (failed) or when the sink returns false (stopped).
    MinimiseStatus deliver(unsigned threads, std::uint32_t first, std::uint32_t last, const RecordJob& job);
    // The same on the calling thread alone, without progress.
    MinimiseStatus deliverHere(std::uint32_t first, std::uint32_t last, const RecordJob& job);
    // Storage that cannot be had fails the first colour from `from` on that
    // needs it; the colours before that one are still delivered.
    MinimiseStatus failFrom(std::uint32_t from);
};

// The engine to run, and the memory it takes.
struct EnginePlan {
    MinimiserEngine engine = MinimiserEngine::topDown;  // allColours or topDown
    std::uint64_t bytes = 0;                           // working memory of the engine
};

// The engine the tuning forces, or for automatic: the all-colours engine
// when it fits memoryLimit, else the top-down one (whose bytes may still
// pass the limit).
EnginePlan planEngine(int b, std::uint32_t colours, unsigned threads, const FastTuning& tuning,
                      std::uint64_t memoryLimit);

// Runs the engine of the plan. automatic: where the plan is the table,
// top-down goes first under a budget, in colour order (a picture top-down
// finishes or refuses quickly needs no more); if the budget runs out, a
// sample of the colours left decides which engine does them.
MinimiseStatus runPlan(PictureJob& job, const EnginePlan& plan, bool automatic);

// Memory besides the engine's: colour kinds and counts, positions by
// colour, the records waiting for delivery (two per thread).
std::uint64_t commonBytes(std::uint64_t pixels, std::uint32_t colours, unsigned threads);

// Primes sorted at once: the tuning's, or kKeyChunk.
inline std::uint64_t keyChunkOf(const FastTuning& tuning) {
    return tuning.keyChunk > 0 ? tuning.keyChunk : kKeyChunk;
}

}  // namespace qm5::fast
