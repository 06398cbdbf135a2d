#include "tests/reference/colour_engine.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <new>

#include "minimiser/bitmap.hpp"

namespace qm5::fast {

namespace {

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

}  // namespace

std::uint64_t ColourWorker::bytesFor(int b, const FastTuning& tuning) {
    const int lv = std::min(b, 3);
    return TernaryCube<SubsetPolicy>::bytesFor(b - lv) + bitmap::wordsFor(b) * 8 +
           CoverBuilder::bytesFor(b, tuning.maxDataLength) + keyChunkOf(tuning) * 8;
}

bool ColourWorker::prepare(int b, const FastTuning& tuning) {
    const int lv = std::min(b, 3);
    const std::size_t words = bitmap::wordsFor(b);
    if (!cover.prepare(b, tuning.maxDataLength)) return false;
    if (!cube.allocate(b - lv, tuning.blockVars)) return false;
    if (nonOff.size() != words && !nonOff.allocate(words)) return false;
    cover.start();
    std::fill(nonOff.begin(), nonOff.end(), std::uint64_t{0});
    return true;
}

MinimiseStatus ColourWorker::run(int b, const FastTuning& tuning, HeapArray<std::uint8_t>& record) {
    const int lv = std::min(b, 3);
    const int hv = b - lv;
    const std::uint64_t* bits = nonOff.data();
    const auto& table = kLow.value[static_cast<std::size_t>(lv)];
    const std::uint32_t lowMask = (1u << (1u << lv)) - 1;
    TernaryView<SubsetPolicy>& view = cube.view();
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
            count += static_cast<std::uint64_t>(bitmap::ones(w));
        }
    });
    const std::uint32_t* elements = view.data();
    const std::uint64_t size = view.size();
    const auto& lowMasks = kLow.masks[static_cast<std::size_t>(lv)];
    auto forEach = [&](const auto& sink) {
        for (std::uint64_t e = 0; e < size; ++e) {
            std::uint32_t w = elements[e];
            if (w == 0) continue;
            const CareOne high = ternaryMasks(e, hv);
            while (w != 0) {
                const auto t = static_cast<std::size_t>(std::countr_zero(w));
                w &= w - 1;
                sink(cubeKey((high.care << lv) | lowMasks[t].care, (high.one << lv) | lowMasks[t].one, b));
            }
        }
    };
    const MinimiseStatus status = coverFromPrimes(forEach, count, keyChunkOf(tuning), keys, cover);
    if (status != MinimiseStatus::ok) return status;
    return cover.writeRecord(record);
}

std::uint64_t perColourBytes(int b, unsigned threads, const FastTuning& tuning) {
    return threads * ColourWorker::bytesFor(b, tuning);
}

MinimiseStatus runPerColour(PictureJob& job) {
    std::unique_ptr<ColourWorker[]> workers(new (std::nothrow) ColourWorker[job.threads]);
    if (!workers) return MinimiseStatus::outOfMemory;
    const int b = job.b;
    job.restartProgress(job.generalFromFirst());
    const RecordJob colourJob = [&](unsigned w, std::uint32_t c, HeapArray<std::uint8_t>& record) {
        if (!job.isGeneral(c)) return job.special(c, record);
        job.done.fetch_add(1, std::memory_order_relaxed);
        ColourWorker& worker = workers[w];
        if (!worker.prepare(b, job.tuning)) return MinimiseStatus::outOfMemory;
        std::uint64_t* nonOff = worker.nonOff.data();
        std::uint64_t* on = worker.cover.onWords();
        for (std::uint64_t p = 0; p < job.pixels; ++p) {
            const std::uint32_t index = job.indices[p];
            if (index <= c) bitmap::set(nonOff, p);
            if (index == c) bitmap::set(on, p);
        }
        for (std::uint64_t p = job.pixels; p < (std::uint64_t{1} << b); ++p) bitmap::set(nonOff, p);
        return worker.run(b, job.tuning, record);
    };
    return job.deliver(job.threads, 0, job.colours, colourJob);
}

}  // namespace qm5::fast

namespace qm5 {

MinimiseStatus compressPerColour(const std::uint32_t* indices, std::uint64_t pixelCount, std::uint32_t colourCount,
                                 const CompressOptions& options, const FastTuning& tuning,
                                 const PictureCompressor::Sink& sink, std::uint32_t& failedColour) {
    failedColour = 0;
    if (indices == nullptr && pixelCount > 0) return MinimiseStatus::invalidTable;
    fast::PictureJob job(indices, pixelCount, colourCount, options, sink);
    job.tuning = tuning;
    const MinimiseStatus status = [&] {
        if (colourCount == 0) return MinimiseStatus::ok;
        const MinimiseStatus classified = job.classify();
        if (classified != MinimiseStatus::ok) return classified;
        if (job.generalCount == 0 || job.b > fast::kMaxBits) return job.failFrom(0);
        if (!job.listPositions()) return MinimiseStatus::outOfMemory;
        return fast::runPerColour(job);
    }();
    failedColour = job.failed;
    job.report(true);
    return status;
}

}  // namespace qm5
