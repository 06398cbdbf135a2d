#include "minimiser/scheduler.hpp"

#include <condition_variable>
#include <mutex>

#include "minimiser/prime_engine.hpp"
#include "minimiser/prime_cover.hpp"
#include "minimiser/slab_engine.hpp"
#include "texture/texture_format.hpp"

namespace qm5::fast {

MinimiseStatus PictureJob::classify() {
    b = positionBitCount(pixels);
    HeapArray<std::uint64_t> counts;
    if (!kinds.allocate(colours) || !counts.allocate(colours)) return MinimiseStatus::outOfMemory;
    for (std::uint64_t p = 0; p < pixels; ++p) {
        if (indices[p] >= colours) return MinimiseStatus::invalidTable;
        ++counts[indices[p]];
    }
    // Colour c's non-off set: indices up to c and the positions past P.
    const std::uint64_t domain = std::uint64_t{1} << b;
    std::uint64_t nonOff = domain - pixels;
    generalCount = 0;
    for (std::uint32_t c = 0; c < colours; ++c) {
        nonOff += counts[c];
        if (nonOff == 0) {
            kinds[c] = ColourKind::empty;
        } else if (nonOff == domain) {
            kinds[c] = ColourKind::whole;
        } else if (counts[c] == 0) {
            kinds[c] = ColourKind::bare;
        } else {
            kinds[c] = ColourKind::general;
            ++generalCount;
        }
    }
    return MinimiseStatus::ok;
}

std::uint32_t PictureJob::generalFromFirst() const {
    std::uint32_t n = 0;
    for (std::uint32_t c = first; c < colours; ++c) n += isGeneral(c) ? 1 : 0;
    return n;
}

bool PictureJob::listPositions() {
    if (!firstOf.allocate(std::uint64_t{colours} + 1) || !byColour.allocate(pixels)) return false;
    for (std::uint64_t p = 0; p < pixels; ++p) ++firstOf[indices[p] + 1];
    for (std::uint32_t c = 0; c < colours; ++c) firstOf[c + 1] += firstOf[c];
    HeapArray<std::uint64_t> fill;
    if (!fill.allocate(colours)) return false;
    std::copy(firstOf.data(), firstOf.data() + colours, fill.data());
    for (std::uint64_t p = 0; p < pixels; ++p) byColour[fill[indices[p]]++] = static_cast<std::uint32_t>(p);
    return true;
}

MinimiseStatus PictureJob::special(std::uint32_t c, HeapArray<std::uint8_t>& record) const {
    switch (kinds[c]) {
        case ColourKind::empty:
            return headRecord(RecordHead::empty(), record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
        case ColourKind::whole:
            return headRecord(RecordHead::whole(), record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
        case ColourKind::bare:
            return encodeRecord({}, b, record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
        case ColourKind::general:
            break;
    }
    return MinimiseStatus::ok;
}

void PictureJob::fillOn(std::uint32_t c, std::uint64_t* on) const {
    for (std::uint64_t i = firstOf[c]; i < firstOf[c + 1]; ++i) bitmap::set(on, byColour[i]);
}

MinimiseStatus PictureJob::failFrom(std::uint32_t from) {
    const RecordJob job = [&](unsigned, std::uint32_t c, HeapArray<std::uint8_t>& record) {
        return isGeneral(c) ? MinimiseStatus::outOfMemory : special(c, record);
    };
    return deliver(1, from, colours, job);
}

void PictureJob::report(bool force) {
    if (progress == nullptr || !*progress) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastReport < std::chrono::milliseconds(100)) return;
    lastReport = now;
    const std::uint64_t whole = total.load(std::memory_order_relaxed);
    (*progress)(std::min(done.load(std::memory_order_relaxed), whole), whole);
}

namespace {

struct Slot {
    HeapArray<std::uint8_t> record;
    MinimiseStatus status = MinimiseStatus::ok;
    bool ready = false;
};

}  // namespace

MinimiseStatus PictureJob::deliverHere(std::uint32_t first, std::uint32_t last, const RecordJob& job) {
    HeapArray<std::uint8_t> record;
    for (std::uint32_t c = first; c < last; ++c) {
        const MinimiseStatus status = job(0u, c, record);
        if (status != MinimiseStatus::ok) {
            failed = c;
            return status;
        }
        if (!(*sink)(c, record.span())) {
            stopped = true;
            return MinimiseStatus::ok;
        }
    }
    return MinimiseStatus::ok;
}

// Longer than most: the workers (a lambda) and the delivering thread share
// the window of slots, its lock and its counters, which live in this frame.
MinimiseStatus PictureJob::deliver(unsigned threadCount, std::uint32_t first, std::uint32_t last,
                                   const RecordJob& job) {
    const bool reporting = progress != nullptr && *progress;
    if (!reporting && (threadCount <= 1 || last - first <= 1)) return deliverHere(first, last, job);
    threadCount = std::max(threadCount, 1u);
    const unsigned window = 2 * threadCount;
    std::array<Slot, 2 * kMaxThreads> slots;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint32_t next = first;
    std::uint32_t delivered = first;
    std::uint32_t limit = last;  // no colour at or past it is started
    bool stop = false;

    auto work = [&](unsigned worker) {
        for (;;) {
            std::uint32_t c;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || next >= limit || next - delivered < window; });
                if (stop || next >= limit) return;
                c = next++;
            }
            Slot& slot = slots[c % window];
            const MinimiseStatus status = job(worker, c, slot.record);
            {
                std::lock_guard lock(mutex);
                slot.status = status;
                slot.ready = true;
                if (status != MinimiseStatus::ok) limit = std::min(limit, c + 1);
            }
            changed.notify_all();
        }
    };
    std::array<std::thread, kMaxThreads> pool;
    unsigned started = 0;
    for (unsigned w = 0; w < threadCount; ++w) {
        try {
            pool[started] = std::thread(work, w);
            ++started;
        } catch (...) {
            break;
        }
    }
    if (started == 0) return deliverHere(first, last, job);
    MinimiseStatus result = MinimiseStatus::ok;
    for (std::uint32_t d = first; d < last; ++d) {
        Slot& slot = slots[d % window];
        for (;;) {
            {
                std::unique_lock lock(mutex);
                if (changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return slot.ready; })) break;
            }
            report();
        }
        report();
        if (slot.status != MinimiseStatus::ok) {
            failed = d;
            result = slot.status;
            break;
        }
        const bool keep = (*sink)(d, slot.record.span());
        {
            std::lock_guard lock(mutex);
            slot.ready = false;
            delivered = d + 1;
        }
        changed.notify_all();
        if (!keep) {
            stopped = true;
            break;
        }
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    for (unsigned w = 0; w < started; ++w) pool[w].join();
    return result;
}

EnginePlan planEngine(int b, std::uint32_t colours, unsigned threads, const FastTuning& tuning,
                      std::uint64_t memoryLimit) {
    // The all-colours engine keeps one byte (two past 256 colours) per
    // cube; it stops at b = 24, where even its slabs pass any budget.
    using Engine = MinimiserEngine;
    if (tuning.engine == Engine::topDown) return EnginePlan{Engine::topDown, topDownBytes(b, threads, tuning)};
    if (colours <= 65536 && b <= 24) {
        const std::uint64_t bytes = allColoursBytes(b, colours, threads, tuning);
        if (bytes <= memoryLimit || tuning.engine == Engine::allColours) return EnginePlan{Engine::allColours, bytes};
    }
    return EnginePlan{Engine::topDown, topDownBytes(b, threads, tuning)};
}

MinimiseStatus runPlan(PictureJob& job, const EnginePlan& plan, bool automatic) {
    if (plan.engine == MinimiserEngine::topDown) return runTopDown(job);
    if (!automatic) return runAllColours(job);
    // (A budget of 0 would mean none: the smallest is 1.)
    const MinimiseStatus first = runTopDown(job, std::max<std::uint64_t>(1, tableCost(job) / kTopDownFirstShare));
    // Done, stopped by the sink, or failed at a colour of its own.
    if (first == MinimiseStatus::ok || job.failed != job.overBudgetAt) return first;
    job.first = job.failed;
    job.failed = 0;
    job.overBudgetAt = ~std::uint32_t{0};
    return topDownWins(job) ? runTopDown(job) : runAllColours(job);
}

std::uint64_t commonBytes(std::uint64_t pixels, std::uint32_t colours, unsigned threads) {
    return std::uint64_t{colours} * 25 + pixels * 4 + 2 * threads * (kRecordHeadSize + kMaxRecordDataLength);
}

}  // namespace qm5::fast
