#include "minimiser/fast_minimiser.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "minimiser/fast_engine.hpp"

namespace qm5 {

namespace {

using fast::CareOne;
using fast::CoverBuilder;
using fast::kPow3;

// ---------------------------------------------------------------------------
// The three lowest position bits live inside one 32-bit element of the
// subset cube: bit t is the cube whose low digits are the ternary number t.
struct LowTables {
    // For lv low bits: element value of the 2^lv positions given as bits.
    std::array<std::array<std::uint32_t, 256>, 4> value{};
    std::array<std::array<CareOne, 27>, 4> masks{};
    // Bits t whose digit j is free.
    std::array<std::uint32_t, 3> freeDigit{};

    constexpr LowTables() {
        for (int lv = 0; lv <= 3; ++lv) {
            const int cubes = static_cast<int>(kPow3[static_cast<std::size_t>(lv)]);
            for (int t = 0; t < cubes; ++t) {
                std::uint32_t care = 0;
                std::uint32_t one = 0;
                int v = t;
                for (int j = 0; j < lv; ++j, v /= 3) {
                    if (v % 3 != 2) care |= 1u << j;
                    if (v % 3 == 1) one |= 1u << j;
                }
                masks[static_cast<std::size_t>(lv)][static_cast<std::size_t>(t)] = CareOne{care, one};
                // The positions of the cube: s with (s & care) == one.
                std::uint32_t inside = 0;
                for (std::uint32_t s = 0; s < (1u << lv); ++s) {
                    if ((s & care) == one) inside |= 1u << s;
                }
                const std::uint32_t patterns = 1u << (1u << lv);
                for (std::uint32_t bits = 0; bits < patterns; ++bits) {
                    if ((bits & inside) == inside) value[static_cast<std::size_t>(lv)][bits] |= 1u << t;
                }
            }
        }
        for (int j = 0; j < 3; ++j) {
            for (int t = 0; t < 27; ++t) {
                if (t / static_cast<int>(kPow3[static_cast<std::size_t>(j)]) % 3 == 2) freeDigit[static_cast<std::size_t>(j)] |= 1u << t;
            }
        }
    }
};
constexpr LowTables kLow{};

// Working storage for one colour at a time, kept from colour to colour: the
// cover and the sorted primes; the subset cube for the per-colour engine.
struct ColourWorker {
    CoverBuilder cover;
    HeapArray<std::uint64_t> keys;
    HeapArray<std::uint64_t> nonOff;  // 2^b bits: positions not off
    fast::TernaryCube<fast::SubsetPolicy> cube;

    static std::uint64_t bytesFor(int b, const FastTuning& tuning, std::uint64_t chunk) {
        const int lv = std::min(b, 3);
        const std::uint64_t words = b <= 6 ? 1 : std::uint64_t{1} << (b - 6);
        return fast::TernaryCube<fast::SubsetPolicy>::bytesFor(b - lv) + words * 8 +
               CoverBuilder::bytesFor(b, tuning.maxDataLength) + chunk * 8;
    }

    // Sizes the storage for b; on and nonOff are cleared.
    bool prepare(int b, const FastTuning& tuning) {
        const int lv = std::min(b, 3);
        const std::size_t words = b <= 6 ? 1 : std::size_t{1} << (b - 6);
        if (!cover.prepare(b, tuning.maxDataLength)) return false;
        if (!cube.allocate(b - lv, tuning.blockVars)) return false;
        if (nonOff.size() != words && !nonOff.allocate(words)) return false;
        cover.start();
        std::fill(nonOff.begin(), nonOff.end(), std::uint64_t{0});
        return true;
    }

    // nonOff and the cover's on bitmap are filled: the record of the colour.
    MinimiseStatus run(int b, const FastTuning& tuning, HeapArray<std::uint8_t>& record) {
        const int lv = std::min(b, 3);
        const int hv = b - lv;
        const std::uint64_t* bits = nonOff.data();
        const auto& table = kLow.value[static_cast<std::size_t>(lv)];
        const std::uint32_t lowMask = (1u << (1u << lv)) - 1;
        fast::TernaryView<fast::SubsetPolicy>& view = cube.view();
        view.build(
            [&](std::uint64_t r) {
                const std::uint64_t p = r << lv;
                return table[static_cast<std::size_t>((bits[p >> 6] >> (p & 63)) & lowMask)];
            },
            1);
        std::uint64_t count = 0;
        view.prune(1, [&](unsigned, std::uint64_t, std::uint32_t* block, std::uint64_t length) {
            for (std::uint64_t x = 0; x < length; ++x) {
                std::uint32_t w = block[x];
                if (w == 0) continue;
                for (int j = 0; j < lv; ++j) {
                    const std::uint32_t wide = w & kLow.freeDigit[static_cast<std::size_t>(j)];
                    const auto s = static_cast<unsigned>(kPow3[static_cast<std::size_t>(j)]);
                    w &= ~((wide >> s) | (wide >> (2 * s)));
                }
                block[x] = w;
                count += static_cast<std::uint64_t>(std::popcount(w));
            }
        });
        const std::uint32_t* elements = view.data();
        const std::uint64_t size = view.size();
        const auto& lowMasks = kLow.masks[static_cast<std::size_t>(lv)];
        auto forEach = [&](const auto& sink) {
            for (std::uint64_t e = 0; e < size; ++e) {
                std::uint32_t w = elements[e];
                if (w == 0) continue;
                const CareOne high = fast::ternaryMasks(e, hv);
                while (w != 0) {
                    const auto t = static_cast<std::size_t>(std::countr_zero(w));
                    w &= w - 1;
                    sink(fast::cubeKey((high.care << lv) | lowMasks[t].care, (high.one << lv) | lowMasks[t].one, b));
                }
            }
        };
        const std::uint64_t chunk = tuning.keyChunk > 0 ? tuning.keyChunk : fast::defaultKeyChunk();
        const MinimiseStatus status = fast::coverFromPrimes(forEach, count, chunk, keys, cover);
        if (status != MinimiseStatus::ok) return status;
        return cover.writeRecord(record);
    }
};

// ---------------------------------------------------------------------------
// Colours of a picture.

enum class ColourKind : std::uint8_t { empty, whole, bare, general };

struct Slot {
    HeapArray<std::uint8_t> record;
    MinimiseStatus status = MinimiseStatus::ok;
    bool ready = false;
};

// Computes job(worker, colour, record) for colours first .. last - 1 on
// `threads` threads, at most 2 * threads ahead of delivery, and hands the
// records to sink in colour order on the calling thread. Stops at the first
// failing colour (failed) or when sink returns false (stopped).
template <class Job>
MinimiseStatus runInOrder(unsigned threads, std::uint32_t first, std::uint32_t last, const Job& job,
                          const PictureCompressor::Sink& sink, std::uint32_t& failed, bool& stopped) {
    if (threads <= 1 || last - first <= 1) {
        HeapArray<std::uint8_t> record;
        for (std::uint32_t c = first; c < last; ++c) {
            const MinimiseStatus status = job(0u, c, record);
            if (status != MinimiseStatus::ok) {
                failed = c;
                return status;
            }
            if (!sink(c, record.span())) {
                stopped = true;
                return MinimiseStatus::ok;
            }
        }
        return MinimiseStatus::ok;
    }
    const unsigned window = 2 * threads;
    std::array<Slot, 2 * fast::kMaxThreads> slots;
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
    std::array<std::thread, fast::kMaxThreads> pool;
    unsigned started = 0;
    for (unsigned w = 0; w < threads; ++w) {
        try {
            pool[started] = std::thread(work, w);
            ++started;
        } catch (...) {
            break;
        }
    }
    MinimiseStatus result = MinimiseStatus::ok;
    if (started == 0) return runInOrder(1, first, last, job, sink, failed, stopped);
    for (std::uint32_t d = first; d < last; ++d) {
        Slot& slot = slots[d % window];
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return slot.ready; });
        }
        if (slot.status != MinimiseStatus::ok) {
            failed = d;
            result = slot.status;
            break;
        }
        const bool keep = sink(d, slot.record.span());
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

class Compression {
public:
    Compression(const std::uint32_t* indices, std::uint64_t pixelCount, std::uint32_t colourCount, unsigned threads,
                const FastTuning& tuning, const PictureCompressor::Sink& sink)
        : indices_(indices), pixels_(pixelCount), colours_(colourCount), threads_(threads), tuning_(tuning), sink_(sink) {}

    MinimiseStatus run(std::uint64_t memoryLimit);
    std::uint32_t failed() const { return failed_; }

private:
    MinimiseStatus special(std::uint32_t c, HeapArray<std::uint8_t>& record) const;
    MinimiseStatus failFrom(std::uint32_t from);
    void fillOn(std::uint32_t c, std::uint64_t* on) const;
    MinimiseStatus runSubsets();
    template <class T>
    MinimiseStatus runSlabs();

    const std::uint32_t* indices_;
    std::uint64_t pixels_;
    std::uint32_t colours_;
    unsigned threads_;
    FastTuning tuning_;
    const PictureCompressor::Sink& sink_;
    int b_ = 0;
    HeapArray<ColourKind> kinds_;
    HeapArray<std::uint64_t> firstOf_;   // colour c's positions: byColour_[firstOf_[c] .. firstOf_[c + 1])
    HeapArray<std::uint32_t> byColour_;
    std::uint32_t failed_ = 0;
    bool stopped_ = false;
};

// ---------------------------------------------------------------------------
// All colours in one pass. M(cube) = the highest rank among its positions
// (positions past P rank as 0, with colour 0): colour c's primes are the
// cubes with M = c that no one-digit widening of the same M contains.
//
// The 3^b cubes are cut into 3^k slabs by their k highest digits. Only the
// 2^k slabs whose high digits are 0/1 are kept (each from its own block of
// positions); any other slab is the elementwise maximum of the kept slabs it
// spans. A slab is made in a small work buffer, checked against its
// widenings in the high digits (widening digit j holds the same M exactly
// where the sibling slab, digit j flipped, is not above it), pruned in its
// low digits in place, and scanned. That keeps memory at about (2/3)^k of
// 3^b entries, which matters as much as the work: fresh memory is slow.
template <class T>
class RankSlabs {
public:
    using Policy = fast::RankPolicy<T>;
    using View = fast::TernaryView<Policy>;
    static constexpr T kMark = Policy::kMark;

    // Low digits per slab. More high digits save memory (the kept slabs take
    // (2/3)^k of 3^b entries) but cost work: a slab with f free high digits
    // is the maximum of 2^f kept slabs. Up to b = 18 four high digits; above,
    // slabs of 3^14 entries.
    static int slabVarsFor(int b, int wanted) {
        if (wanted > 0) return std::min(b, wanted);
        const int cached = sizeof(T) == 1 ? 11 : 10;
        if (b <= cached) return b;
        const int high = std::max(b - 14, std::min(4, b - cached));
        return b - high;
    }
    static std::uint64_t bytesFor(int b, unsigned parts, int wanted) {
        const int n = slabVarsFor(b, wanted);
        return ((std::uint64_t{1} << (b - n)) + parts) * View::storageFor(n) * sizeof(T);
    }

    [[nodiscard]] bool prepare(int b, unsigned parts, const FastTuning& tuning) {
        b_ = b;
        n_ = slabVarsFor(b, tuning.slabVars);
        k_ = b - n_;
        blockVars_ = tuning.blockVars;
        stride_ = View::storageFor(n_);
        return bases_.allocate((std::uint64_t{1} << k_) * stride_) && work_.allocate(std::uint64_t{parts} * stride_);
    }

    void build(const std::uint32_t* indices, std::uint64_t pixels, unsigned threads) {
        const int n = n_;
        fast::parallelParts(threads, std::uint64_t{1} << k_, [&](unsigned, std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t s = begin; s < end; ++s) {
                View view(bases_.data() + s * stride_, n, blockVars_);
                view.build(
                    [&](std::uint64_t r) {
                        const std::uint64_t p = (s << n) | r;
                        return p < pixels ? static_cast<T>(indices[p]) : T{0};
                    },
                    1);
            }
        });
    }

    // take(part, value, key) for every prime whose value passes wanted, on
    // the thread of its part; part p takes slabs p, p + parts, ... (the
    // costly slabs, with free high digits, lie together at the end).
    template <class Wanted, class Take>
    void pass(unsigned parts, const Wanted& wanted, const Take& take) {
        const std::uint64_t slabs = fast::kPow3[static_cast<std::size_t>(k_)];
        parts = static_cast<unsigned>(std::min<std::uint64_t>(parts, slabs));
        fast::parallelParts(parts, parts, [&](unsigned part, std::uint64_t, std::uint64_t) {
            T* w = work_.data() + part * stride_;
            for (std::uint64_t u = part; u < slabs; u += parts) slab(u, w, part, wanted, take);
        });
    }

private:
    template <class Wanted, class Take>
    void slab(std::uint64_t u, T* w, unsigned part, const Wanted& wanted, const Take& take) {
        std::uint32_t care = 0;
        std::uint32_t one = 0;
        for (int j = 0; j < k_; ++j) {
            const std::uint64_t d = u / fast::kPow3[static_cast<std::size_t>(j)] % 3;
            if (d != 2) care |= 1u << j;
            if (d == 1) one |= 1u << j;
        }
        const std::uint32_t free = ~care & fast::lowBits(k_);
        const std::uint64_t size = fast::kPow3[static_cast<std::size_t>(n_)];
        const T* bases = bases_.data();
        const std::uint64_t stride = stride_;
        // max over the kept slabs s = ones | sub, sub within free.
        auto span = [&](std::uint32_t ones, std::uint64_t at, std::size_t len, T* out) {
            const T* first = bases + ones * stride + at;
            for (std::size_t x = 0; x < len; ++x) out[x] = first[x];
            for (std::uint32_t sub = (0u - free) & free; sub != 0; sub = (sub - free) & free) {
                const T* next = bases + (ones | sub) * stride + at;
                for (std::size_t x = 0; x < len; ++x) out[x] = Policy::expand(out[x], next[x]);
            }
        };
        constexpr std::size_t kChunk = 2048;
        T sibling[kChunk];
        for (std::uint64_t at = 0; at < size; at += kChunk) {
            const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - at));
            T* self = w + at;
            span(one, at, len, self);
            for (std::uint32_t fixed = care; fixed != 0; fixed &= fixed - 1) {
                span(one ^ (fixed & (0u - fixed)), at, len, sibling);
                for (std::size_t x = 0; x < len; ++x) {
                    self[x] = static_cast<T>(self[x] | static_cast<T>(-T{sibling[x] <= self[x]}));
                }
            }
        }
        View view(w, n_, blockVars_);
        const int n = n_;
        const int b = b_;
        view.prune(1, [&](unsigned, std::uint64_t q, const T* block, std::uint64_t length) {
            const std::uint64_t base = q * length;
            constexpr std::uint64_t kPerWord = 8 / sizeof(T);
            for (std::uint64_t x = 0; x < length; ++x) {
                // Nearly every cube is marked: skip whole words of marks.
                if (x % kPerWord == 0 && x + kPerWord <= length) {
                    std::uint64_t word;
                    std::memcpy(&word, block + x, sizeof word);
                    if (word == ~std::uint64_t{0}) {
                        x += kPerWord - 1;
                        continue;
                    }
                }
                const T v = block[x];
                if (v == kMark || !wanted(v)) continue;
                const CareOne low = fast::ternaryMasks(base + x, n);
                take(part, v, fast::cubeKey(low.care | (care << n), low.one | (one << n), b));
            }
        });
    }

    int b_ = 0;
    int n_ = 0;
    int k_ = 0;
    int blockVars_ = 0;
    std::uint64_t stride_ = 0;
    HeapArray<T> bases_;
    HeapArray<T> work_;
};

// The primes found, one growing list per part and colour.
class KeyLists {
public:
    [[nodiscard]] bool prepare(unsigned parts, std::uint32_t colours, std::uint64_t capacityPerPart) {
        parts_ = parts;
        colours_ = colours;
        limit_ = capacityPerPart;
        const std::uint64_t lists = std::uint64_t{parts} * colours;
        lists_.reset(new (std::nothrow) HeapArray<std::uint64_t>[lists]);
        return lists_ != nullptr && used_.allocate(lists) && capacity_.allocate(parts) && full_.allocate(parts);
    }
    // Appends while the part's capacity allows; afterwards the part is full.
    void push(unsigned part, std::uint32_t colour, std::uint64_t key) {
        if (full_[part]) return;
        const std::uint64_t i = std::uint64_t{part} * colours_ + colour;
        HeapArray<std::uint64_t>& list = lists_[i];
        if (used_[i] == list.size()) {
            const std::uint64_t old = list.size();
            const std::uint64_t grown = std::max<std::uint64_t>(64, 2 * old);
            if (capacity_[part] + grown - old > limit_ || !list.resize(grown)) {
                full_[part] = 1;
                return;
            }
            capacity_[part] += grown - old;
        }
        list[used_[i]++] = key;
    }
    // Exact room for the given counts ([part][colour]) of colours lo .. hi - 1.
    [[nodiscard]] bool reserve(const std::uint64_t* counts, std::uint32_t lo, std::uint32_t hi) {
        for (unsigned p = 0; p < parts_; ++p) {
            for (std::uint32_t c = lo; c < hi; ++c) {
                const std::uint64_t i = std::uint64_t{p} * colours_ + c;
                used_[i] = 0;
                if (!lists_[i].allocate(counts[i])) return false;
            }
        }
        return true;
    }
    bool anyFull() const {
        for (unsigned p = 0; p < parts_; ++p) {
            if (full_[p]) return true;
        }
        return false;
    }
    void clear() {
        for (std::uint64_t i = 0; i < std::uint64_t{parts_} * colours_; ++i) {
            lists_[i].reset();
            used_[i] = 0;
        }
        for (unsigned p = 0; p < parts_; ++p) {
            capacity_[p] = 0;
            full_[p] = 0;
        }
    }
    std::uint64_t countOf(std::uint32_t colour) const {
        std::uint64_t n = 0;
        for (unsigned p = 0; p < parts_; ++p) n += used_[std::uint64_t{p} * colours_ + colour];
        return n;
    }
    // The colour's keys, gathered into out (grown as needed), then released.
    [[nodiscard]] bool take(std::uint32_t colour, HeapArray<std::uint64_t>& out, std::uint64_t& count) {
        count = countOf(colour);
        if (out.size() < count && !out.allocate(count)) return false;
        std::uint64_t at = 0;
        for (unsigned p = 0; p < parts_; ++p) {
            const std::uint64_t i = std::uint64_t{p} * colours_ + colour;
            std::copy(lists_[i].data(), lists_[i].data() + used_[i], out.data() + at);
            at += used_[i];
            lists_[i].reset();
        }
        return true;
    }

private:
    unsigned parts_ = 0;
    std::uint32_t colours_ = 0;
    std::uint64_t limit_ = 0;
    std::unique_ptr<HeapArray<std::uint64_t>[]> lists_;
    HeapArray<std::uint64_t> used_;
    HeapArray<std::uint64_t> capacity_;
    HeapArray<std::uint8_t> full_;
};

// Keys kept at once by the all-colours engine.
constexpr std::uint64_t kKeyBudgetBytes = std::uint64_t{256} << 20;

std::uint64_t slabBytes(int b, std::uint32_t colours, unsigned threads, const FastTuning& tuning) {
    const std::uint64_t cubes = colours <= 256 ? RankSlabs<std::uint8_t>::bytesFor(b, threads, tuning.slabVars)
                                               : RankSlabs<std::uint16_t>::bytesFor(b, threads, tuning.slabVars);
    const std::uint64_t budget =
        std::min(tuning.keyChunk > 0 ? tuning.keyChunk * 8 : kKeyBudgetBytes, 2 * kPow3[static_cast<std::size_t>(b)] * 8);
    // The lists (half again while one of them moves as it grows), then the
    // lists and the colours gathered from them, together at most twice the
    // budget; the counts and list heads per part and colour.
    const std::uint64_t keys = 2 * budget + budget / 2;
    const std::uint64_t perColour = std::uint64_t{colours} * threads * (8 + 8 + sizeof(HeapArray<std::uint64_t>)) + colours;
    return cubes + keys + perColour + threads * CoverBuilder::bytesFor(b, tuning.maxDataLength);
}

std::uint64_t subsetBytes(int b, unsigned threads, const FastTuning& tuning) {
    const std::uint64_t chunk = tuning.keyChunk > 0 ? tuning.keyChunk : fast::defaultKeyChunk();
    return threads * ColourWorker::bytesFor(b, tuning, chunk);
}

// Working memory of the engine compress() picks, and whether it is the
// all-colours one.
std::uint64_t engineBytes(int b, std::uint32_t colours, unsigned threads, const FastTuning& tuning,
                          std::uint64_t memoryLimit, bool& slabs) {
    slabs = colours <= 65536 && b <= 24 && tuning.engine != FastTuning::Engine::perColour;
    if (slabs) {
        const std::uint64_t bytes = slabBytes(b, colours, threads, tuning);
        if (bytes <= memoryLimit || tuning.engine == FastTuning::Engine::allColours) return bytes;
        slabs = false;
    }
    return subsetBytes(b, threads, tuning);
}

// Everything else: colour kinds and counts, positions by colour, the records
// waiting for delivery (two per thread).
std::uint64_t commonBytes(std::uint64_t pixels, std::uint32_t colours, unsigned threads) {
    return std::uint64_t{colours} * 25 + pixels * 4 + 2 * threads * (kRecordHeadSize + kMaxRecordDataLength);
}

MinimiseStatus Compression::special(std::uint32_t c, HeapArray<std::uint8_t>& record) const {
    switch (kinds_[c]) {
        case ColourKind::empty:
            return fast::headRecord(RecordHead::empty(), record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
        case ColourKind::whole:
            return fast::headRecord(RecordHead::whole(), record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
        case ColourKind::bare:
            return fast::encodeRecord({}, b_, record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
        case ColourKind::general:
            break;
    }
    return MinimiseStatus::ok;
}

void Compression::fillOn(std::uint32_t c, std::uint64_t* on) const {
    for (std::uint64_t i = firstOf_[c]; i < firstOf_[c + 1]; ++i) {
        const std::uint64_t p = byColour_[i];
        on[p >> 6] |= std::uint64_t{1} << (p & 63);
    }
}

// Storage that cannot be had fails the first colour from `from` on that
// needs it; the colours before that one are still delivered.
MinimiseStatus Compression::failFrom(std::uint32_t from) {
    auto job = [&](unsigned, std::uint32_t c, HeapArray<std::uint8_t>& record) {
        return kinds_[c] == ColourKind::general ? MinimiseStatus::outOfMemory : special(c, record);
    };
    return runInOrder(1, from, colours_, job, sink_, failed_, stopped_);
}

MinimiseStatus Compression::run(std::uint64_t memoryLimit) {
    if (colours_ == 0) return MinimiseStatus::ok;
    b_ = positionBitCount(pixels_);
    HeapArray<std::uint64_t> counts;
    if (!kinds_.allocate(colours_) || !counts.allocate(colours_)) return MinimiseStatus::outOfMemory;
    for (std::uint64_t p = 0; p < pixels_; ++p) {
        if (indices_[p] >= colours_) return MinimiseStatus::invalidTable;
        ++counts[indices_[p]];
    }
    // Colour c's non-off set: indices up to c and the positions past P.
    const std::uint64_t domain = std::uint64_t{1} << b_;
    std::uint64_t nonOff = domain - pixels_;
    std::uint32_t general = 0;
    for (std::uint32_t c = 0; c < colours_; ++c) {
        nonOff += counts[c];
        if (nonOff == 0) {
            kinds_[c] = ColourKind::empty;
        } else if (nonOff == domain) {
            kinds_[c] = ColourKind::whole;
        } else if (counts[c] == 0) {
            kinds_[c] = ColourKind::bare;
        } else {
            kinds_[c] = ColourKind::general;
            ++general;
        }
    }
    if (general == 0 || b_ > fast::kMaxBits) return failFrom(0);

    // The all-colours engine when it fits, else the per-colour one; a
    // picture that fits neither is refused before anything is allocated.
    bool slabs = false;
    const std::uint64_t bytes = engineBytes(b_, colours_, threads_, tuning_, memoryLimit, slabs);
    if (tuning_.engine == FastTuning::Engine::automatic && bytes > memoryLimit) return failFrom(0);

    // The positions of each colour, for its on bitmap.
    if (!firstOf_.allocate(std::uint64_t{colours_} + 1) || !byColour_.allocate(pixels_)) return MinimiseStatus::outOfMemory;
    for (std::uint32_t c = 0; c < colours_; ++c) firstOf_[c + 1] = firstOf_[c] + counts[c];
    for (std::uint32_t c = 0; c < colours_; ++c) counts[c] = firstOf_[c];
    for (std::uint64_t p = 0; p < pixels_; ++p) byColour_[counts[indices_[p]]++] = static_cast<std::uint32_t>(p);
    if (!slabs) return runSubsets();
    return colours_ <= 256 ? runSlabs<std::uint8_t>() : runSlabs<std::uint16_t>();
}

MinimiseStatus Compression::runSubsets() {
    std::unique_ptr<ColourWorker[]> workers(new (std::nothrow) ColourWorker[threads_]);
    if (!workers) return MinimiseStatus::outOfMemory;
    auto job = [&](unsigned w, std::uint32_t c, HeapArray<std::uint8_t>& record) {
        if (kinds_[c] != ColourKind::general) return special(c, record);
        ColourWorker& worker = workers[w];
        if (!worker.prepare(b_, tuning_)) return MinimiseStatus::outOfMemory;
        std::uint64_t* nonOff = worker.nonOff.data();
        std::uint64_t* on = worker.cover.onWords();
        for (std::uint64_t p = 0; p < pixels_; ++p) {
            const std::uint32_t index = indices_[p];
            if (index <= c) nonOff[p >> 6] |= std::uint64_t{1} << (p & 63);
            if (index == c) on[p >> 6] |= std::uint64_t{1} << (p & 63);
        }
        for (std::uint64_t p = pixels_; p < (std::uint64_t{1} << b_); ++p) nonOff[p >> 6] |= std::uint64_t{1} << (p & 63);
        return worker.run(b_, tuning_, record);
    };
    return runInOrder(threads_, 0, colours_, job, sink_, failed_, stopped_);
}

template <class T>
MinimiseStatus Compression::runSlabs() {
    const unsigned parts = threads_;
    const std::uint64_t k = colours_;
    RankSlabs<T> slabs;
    HeapArray<std::uint64_t> counts;  // [part][colour]: primes found
    KeyLists lists;
    const std::uint64_t budget = (tuning_.keyChunk > 0 ? tuning_.keyChunk * 8 : kKeyBudgetBytes) / 8;
    std::unique_ptr<ColourWorker[]> workers(new (std::nothrow) ColourWorker[threads_]);
    if (!workers || !slabs.prepare(b_, parts, tuning_) || !counts.allocate(k * parts) ||
        !lists.prepare(parts, colours_, budget / parts)) {
        return failFrom(0);
    }
    slabs.build(indices_, pixels_, threads_);
    auto general = [&](T v) { return kinds_[v] == ColourKind::general; };
    slabs.pass(parts, general, [&](unsigned part, T v, std::uint64_t key) {
        ++counts[part * k + v];
        lists.push(part, v, key);
    });
    auto primesOf = [&](std::uint32_t c) {
        std::uint64_t n = 0;
        for (unsigned p = 0; p < parts; ++p) n += counts[p * k + c];
        return n;
    };
    auto job = [&](unsigned w, std::uint32_t c, HeapArray<std::uint8_t>& record) {
        if (kinds_[c] != ColourKind::general) return special(c, record);
        ColourWorker& worker = workers[w];
        if (!worker.cover.prepare(b_, tuning_.maxDataLength)) return MinimiseStatus::outOfMemory;
        worker.cover.start();
        fillOn(c, worker.cover.onWords());
        std::uint64_t n = 0;
        if (!lists.take(c, worker.keys, n)) return MinimiseStatus::outOfMemory;
        std::sort(worker.keys.data(), worker.keys.data() + n);
        if (!worker.cover.visit({worker.keys.data(), static_cast<std::size_t>(n)})) return MinimiseStatus::recordTooLong;
        return worker.cover.writeRecord(record);
    };
    if (!lists.anyFull()) return runInOrder(threads_, 0, colours_, job, sink_, failed_, stopped_);

    // Too many primes to keep at once: colours in batches that fit, one
    // more pass each; a colour that alone does not fit is sorted range by
    // range, a pass per range.
    lists.clear();
    std::uint32_t c0 = 0;
    while (c0 < colours_) {
        std::uint32_t c1 = c0;
        std::uint64_t total = 0;
        while (c1 < colours_) {
            const std::uint64_t n = kinds_[c1] == ColourKind::general ? primesOf(c1) : 0;
            if (c1 > c0 && total + n > budget) break;
            total += n;
            ++c1;
            if (total > budget) break;
        }
        MinimiseStatus status;
        if (total <= budget) {
            if (!lists.reserve(counts.data(), c0, c1)) return failFrom(c0);
            slabs.pass(parts, [&](T v) { return v >= c0 && v < c1 && general(v); },
                       [&](unsigned part, T v, std::uint64_t key) { lists.push(part, v, key); });
            status = runInOrder(threads_, c0, c1, job, sink_, failed_, stopped_);
        } else {
            auto alone = [&](unsigned, std::uint32_t c, HeapArray<std::uint8_t>& record) {
                if (kinds_[c] != ColourKind::general) return special(c, record);
                ColourWorker& worker = workers[0];
                if (!worker.cover.prepare(b_, tuning_.maxDataLength)) return MinimiseStatus::outOfMemory;
                worker.cover.start();
                fillOn(c, worker.cover.onWords());
                auto forEach = [&](const auto& sink) {
                    slabs.pass(1, [&](T v) { return v == c; }, [&](unsigned, T, std::uint64_t key) { sink(key); });
                };
                const MinimiseStatus found = fast::coverFromPrimes(forEach, primesOf(c), budget, worker.keys, worker.cover);
                if (found != MinimiseStatus::ok) return found;
                return worker.cover.writeRecord(record);
            };
            status = runInOrder(1, c0, c1, alone, sink_, failed_, stopped_);
        }
        if (status != MinimiseStatus::ok || stopped_) return status;
        c0 = c1;
    }
    return MinimiseStatus::ok;
}

}  // namespace

// ---------------------------------------------------------------------------

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
        if (table[p] != 0) ++nonOff;
        if (table[p] != 0 && table[p] != 2) ++on;
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

    ColourWorker worker;
    if (!worker.prepare(b, tuning_)) return fail(MinimiseStatus::outOfMemory);
    std::uint64_t* nonOffBits = worker.nonOff.data();
    std::uint64_t* onBits = worker.cover.onWords();
    for (std::uint64_t p = 0; p < size; ++p) {
        if (table[p] != 0) nonOffBits[p >> 6] |= std::uint64_t{1} << (p & 63);
        if (table[p] != 0 && table[p] != 2) onBits[p >> 6] |= std::uint64_t{1} << (p & 63);
    }
    const MinimiseStatus status = worker.run(b, tuning_, record_);
    if (status != MinimiseStatus::ok) return fail(status);
    dataLength_ = static_cast<std::int32_t>(record_.size() - kRecordHeadSize);
    return true;
}

MinimiseStatus PictureCompressor::compress(const std::uint32_t* indices, std::uint64_t pixelCount,
                                           std::uint32_t colourCount, const CompressOptions& options,
                                           const Sink& sink) {
    failedColour_ = 0;
    if (indices == nullptr && pixelCount > 0) return MinimiseStatus::invalidTable;
    const unsigned threads = std::clamp(options.threads, 1u, fast::kMaxThreads);
    Compression run(indices, pixelCount, colourCount, threads, tuning_, sink);
    const MinimiseStatus status = run.run(options.memoryLimit);
    failedColour_ = run.failed();
    return status;
}

std::uint64_t PictureCompressor::workingMemoryBound(std::uint64_t pixelCount, std::uint32_t colourCount, unsigned threads,
                                                    std::uint64_t memoryLimit) {
    threads = std::clamp(threads, 1u, fast::kMaxThreads);
    const int b = positionBitCount(pixelCount);
    std::uint64_t bound = commonBytes(pixelCount, colourCount, threads);
    if (b <= fast::kMaxBits) {
        bool slabs = false;
        bound += engineBytes(b, colourCount, threads, FastTuning{}, memoryLimit, slabs);
    }
    return bound;
}

}  // namespace qm5
