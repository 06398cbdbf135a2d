#include "minimiser/slab_engine.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "minimiser/prime_cover.hpp"
#include "minimiser/ternary.hpp"

namespace qm5::fast {

namespace {

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
    using Policy = RankPolicy<T>;
    using View = TernaryView<Policy>;
    static constexpr T kMark = Policy::kMark;

    // Low digits per slab. More high digits save memory (the kept slabs take
    // (2/3)^k of 3^b entries) but cost work: a slab with f free high digits
    // is the maximum of 2^f kept slabs, and the 3^k slabs read 4^k kept
    // slabs' worth of entries and more. Why the numbers:
    // - up to 3^11 one-byte (3^10 two-byte) entries the whole table is one
    //   slab, within kCacheBlockBytes: nothing to save;
    // - above, four high digits while b <= 18: a fifth of the table kept,
    //   for about 256 slab reads per pass;
    // - from b = 19 slabs of 3^14 entries (4.8 MB in one byte), so that the
    //   kept slabs grow as 2^b, not 3^b: 306 MB at b = 20.
    static int slabVarsFor(int b, int wanted) {
        if (wanted > 0) return std::min(b, wanted);
        const int cached = sizeof(T) == 1 ? 11 : 10;
        if (b <= cached) return b;
        const int high = std::max(b - 14, std::min(4, b - cached));
        return b - high;
    }
    static std::uint64_t bytesFor(int b, unsigned parts, int wanted) {
        const int n = slabVarsFor(b, wanted);
        return ((std::uint64_t{1} << (b - n)) + 2 * std::uint64_t{parts}) * View::storageFor(n) * sizeof(T);
    }

    [[nodiscard]] bool prepare(int b, unsigned parts, const FastTuning& tuning) {
        b_ = b;
        n_ = slabVarsFor(b, tuning.slabVars);
        k_ = b - n_;
        blockVars_ = tuning.blockVars;
        stride_ = View::storageFor(n_);
        return bases_.allocate((std::uint64_t{1} << k_) * stride_) && work_.allocate(std::uint64_t{parts} * stride_) &&
               sib_.allocate(std::uint64_t{parts} * stride_);
    }

    void build(const std::uint32_t* indices, std::uint64_t pixels, unsigned threads) {
        const int n = n_;
        parallelParts(threads, std::uint64_t{1} << k_, [&](unsigned, std::uint64_t begin, std::uint64_t end) {
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
    // slabCount: a slab is a unit of progress.
    std::uint64_t slabCount() const { return kPow3[static_cast<std::size_t>(k_)]; }

    template <class Wanted, class Take>
    void pass(unsigned parts, const Wanted& wanted, const Take& take, PictureJob* progress = nullptr) {
        const std::uint64_t slabs = kPow3[static_cast<std::size_t>(k_)];
        parts = static_cast<unsigned>(std::min<std::uint64_t>(parts, slabs));
        parallelParts(parts, parts, [&](unsigned part, std::uint64_t, std::uint64_t) {
            T* w = work_.data() + part * stride_;
            for (std::uint64_t u = part; u < slabs; u += parts) {
                slab(u, w, part, wanted, take);
                if (progress == nullptr) continue;
                progress->done.fetch_add(1, std::memory_order_relaxed);
                if (part == 0) progress->report();  // part 0 runs on the calling thread
            }
        });
    }

private:
    template <class Wanted, class Take>
    void slab(std::uint64_t u, T* w, unsigned part, const Wanted& wanted, const Take& take) {
        std::uint32_t care = 0;
        std::uint32_t one = 0;
        for (int j = 0; j < k_; ++j) {
            const std::uint64_t d = u / kPow3[static_cast<std::size_t>(j)] % 3;
            if (d != 2) care |= 1u << j;
            if (d == 1) one |= 1u << j;
        }
        const std::uint32_t free = ~care & lowBits(k_);
        const std::uint64_t size = kPow3[static_cast<std::size_t>(n_)];
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
        // Whole slabs, one kept slab after another: each is read once per
        // use in one sequential run (reading many slabs in small pieces at
        // once ran at a third of the speed).
        T* sibling = sib_.data() + part * stride_;
        const auto len = static_cast<std::size_t>(size);
        span(one, 0, len, w);
        for (std::uint32_t fixed = care; fixed != 0; fixed &= fixed - 1) {
            span(one ^ (fixed & (0u - fixed)), 0, len, sibling);
            for (std::size_t x = 0; x < len; ++x) w[x] = static_cast<T>(w[x] | static_cast<T>(-T{sibling[x] <= w[x]}));
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
                const CareOne low = ternaryMasks(base + x, n);
                take(part, v, cubeKey(low.care | (care << n), low.one | (one << n), b));
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
    HeapArray<T> sib_;
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

std::uint64_t keyBudgetOf(const FastTuning& tuning) {
    return (tuning.keyChunk > 0 ? tuning.keyChunk * 8 : kKeyBudgetBytes) / 8;
}

// The cover of one thread and the keys it sorts, kept from colour to colour.
struct CoverWorker {
    CoverBuilder cover;
    HeapArray<std::uint64_t> keys;
};

// One run of the engine over a picture whose indices fit T.
template <class T>
class AllColours {
public:
    explicit AllColours(PictureJob& job) : job_(job), k_(job.colours) {}

    MinimiseStatus run() {
        const unsigned parts = job_.threads;
        budget_ = keyBudgetOf(job_.tuning);
        workers_.reset(new (std::nothrow) CoverWorker[job_.threads]);
        if (!workers_ || !slabs_.prepare(job_.b, parts, job_.tuning) || !counts_.allocate(k_ * parts) ||
            !lists_.prepare(parts, job_.colours, budget_ / parts)) {
            return job_.failFrom(job_.first);
        }
        slabs_.build(job_.indices, job_.pixels, job_.threads);
        job_.restartProgress(slabs_.slabCount() + job_.generalFromFirst());
        const std::uint32_t first = job_.first;
        slabs_.pass(
            parts, [&](T v) { return v >= first && job_.isGeneral(v); },
            [&](unsigned part, T v, std::uint64_t key) {
                ++counts_[part * k_ + v];
                lists_.push(part, v, key);
            },
            &job_);
        const RecordJob kept = [&](unsigned w, std::uint32_t c, HeapArray<std::uint8_t>& record) {
            return fromLists(w, c, record);
        };
        if (!lists_.anyFull()) return job_.deliver(job_.threads, first, job_.colours, kept);
        return inBatches(kept);
    }

private:
    std::uint64_t primesOf(std::uint32_t c) const {
        std::uint64_t n = 0;
        for (unsigned p = 0; p < job_.threads; ++p) n += counts_[p * k_ + c];
        return n;
    }

    // The record of colour c from its primes in the lists.
    MinimiseStatus fromLists(unsigned w, std::uint32_t c, HeapArray<std::uint8_t>& record) {
        if (!job_.isGeneral(c)) return job_.special(c, record);
        CoverWorker& worker = workers_[w];
        if (!worker.cover.prepare(job_.b, job_.tuning.maxDataLength)) return MinimiseStatus::outOfMemory;
        worker.cover.start();
        job_.fillOn(c, worker.cover.onWords());
        std::uint64_t n = 0;
        if (!lists_.take(c, worker.keys, n)) return MinimiseStatus::outOfMemory;
        std::sort(worker.keys.data(), worker.keys.data() + n);
        if (!worker.cover.visit({worker.keys.data(), static_cast<std::size_t>(n)})) return MinimiseStatus::recordTooLong;
        job_.done.fetch_add(1, std::memory_order_relaxed);
        return worker.cover.writeRecord(record);
    }

    // The record of colour c alone, its primes sorted range by range, a
    // pass per range.
    MinimiseStatus alone(std::uint32_t c, HeapArray<std::uint8_t>& record) {
        if (!job_.isGeneral(c)) return job_.special(c, record);
        CoverWorker& worker = workers_[0];
        if (!worker.cover.prepare(job_.b, job_.tuning.maxDataLength)) return MinimiseStatus::outOfMemory;
        worker.cover.start();
        job_.fillOn(c, worker.cover.onWords());
        auto forEach = [&](const auto& sink) {
            slabs_.pass(1, [&](T v) { return v == c; }, [&](unsigned, T, std::uint64_t key) { sink(key); });
        };
        const MinimiseStatus found = coverFromPrimes(forEach, primesOf(c), budget_, worker.keys, worker.cover);
        if (found != MinimiseStatus::ok) return found;
        job_.done.fetch_add(1, std::memory_order_relaxed);
        return worker.cover.writeRecord(record);
    }

    // Too many primes to keep at once: colours in batches that fit, one
    // more pass each; a colour that alone does not fit goes range by range.
    MinimiseStatus inBatches(const RecordJob& kept) {
        lists_.clear();
        const RecordJob single = [&](unsigned, std::uint32_t c, HeapArray<std::uint8_t>& record) {
            return alone(c, record);
        };
        std::uint32_t c0 = job_.first;
        while (c0 < job_.colours) {
            std::uint32_t c1 = c0;
            std::uint64_t total = 0;
            while (c1 < job_.colours) {
                const std::uint64_t n = job_.isGeneral(c1) ? primesOf(c1) : 0;
                if (c1 > c0 && total + n > budget_) break;
                total += n;
                ++c1;
                if (total > budget_) break;
            }
            MinimiseStatus status;
            if (total <= budget_) {
                if (!lists_.reserve(counts_.data(), c0, c1)) return job_.failFrom(c0);
                slabs_.pass(job_.threads, [&](T v) { return v >= c0 && v < c1 && job_.isGeneral(v); },
                            [&](unsigned part, T v, std::uint64_t key) { lists_.push(part, v, key); });
                status = job_.deliver(job_.threads, c0, c1, kept);
            } else {
                status = job_.deliver(1, c0, c1, single);
            }
            if (status != MinimiseStatus::ok || job_.stopped) return status;
            c0 = c1;
        }
        return MinimiseStatus::ok;
    }

    PictureJob& job_;
    std::uint64_t k_;
    std::uint64_t budget_ = 0;
    RankSlabs<T> slabs_;
    HeapArray<std::uint64_t> counts_;  // [part][colour]: primes found
    KeyLists lists_;
    std::unique_ptr<CoverWorker[]> workers_;
};

}  // namespace

std::uint64_t allColoursBytes(int b, std::uint32_t colours, unsigned threads, const FastTuning& tuning) {
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

MinimiseStatus runAllColours(PictureJob& job) {
    job.engineUsed = MinimiserEngine::allColours;
    if (job.colours <= 256) return AllColours<std::uint8_t>(job).run();
    return AllColours<std::uint16_t>(job).run();
}

}  // namespace qm5::fast
