#include "maker/palette_order_job.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "core/heap_array.hpp"
#include "texture/record_painter.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

// Whether the records of the order found paint every picture back: pixel p
// of image m gets the index i whose colour order[i] it holds. The records
// of other orders come from a cache keyed by 128-bit sums; this check makes
// a wrong one (or any fault of the search) cost size, never pixels.
bool paintsBack(std::span<const Picture* const> pictures, const PaletteOrderSearch& search) {
    const std::span<const std::uint32_t> order = search.order();
    const std::uint64_t pixelCount = pictures[0]->pixels.size();
    HeapArray<std::uint32_t> painted;
    if (!painted.allocate(pixelCount)) return false;
    for (std::size_t m = 0; m < pictures.size(); ++m) {
        std::fill(painted.begin(), painted.end(), 0u);
        RecordPainter painter;
        if (!painter.start(pixelCount, painted.data())) return false;
        for (std::uint32_t i = 0; i < order.size(); ++i) {
            const std::span<const std::uint8_t> record = search.record(m, i);
            const RecordHead head = RecordHead::from(record);
            if (head.isWhole()) painter.paintAll(i);
            if (!head.isGeneral() || head.bitCount() < 1) continue;
            const std::span<const std::uint8_t> data = record.subspan(kRecordHeadSize);
            const std::uint64_t cubes = cubeCountOf(data.size(), head.bitCount());
            for (std::uint64_t k = 0; k < cubes; ++k) painter.paint(readCube(data, head.bitCount(), k), head.bitCount(), i);
        }
        // Positions no record covers stay 0, as in every reader.
        const std::uint32_t* pixels = pictures[m]->pixels.data();
        for (std::uint64_t p = 0; p < pixelCount; ++p) {
            if (order[painted[p]] != pixels[p]) return false;
        }
    }
    return true;
}

}  // namespace

MinimiseStatus searchPaletteOrder(std::span<const Picture* const> pictures, std::uint32_t colourCount,
                                  const OrderJobOptions& options, PaletteOrderSearch& search, bool& ran) {
    ran = false;
    if (pictures.empty()) return MinimiseStatus::invalidTable;
    const std::uint64_t pixelCount = pictures[0]->pixels.size();
    unsigned threads = std::max(options.threads, 1u);
    for (; threads > 0; --threads) {
        if (PaletteOrderSearch::workingMemoryBound(pixelCount, colourCount, pictures.size(), threads) <=
            options.memoryLimit) {
            break;
        }
    }
    if (threads == 0) return MinimiseStatus::ok;
    std::unique_ptr<const std::uint32_t*[]> images(new (std::nothrow) const std::uint32_t*[pictures.size()]);
    if (!images) return MinimiseStatus::outOfMemory;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        if (pictures[i]->pixels.size() != pixelCount) return MinimiseStatus::invalidTable;
        images[i] = pictures[i]->pixels.data();
    }
    CompressOptions compress;
    compress.threads = threads;
    compress.memoryLimit = std::min(compress.memoryLimit, options.memoryLimit);
    std::atomic<bool> stop{false};
    if (options.observer != nullptr) {
        EncodeObserver* observer = options.observer;
        observer->begin(Stage::compressing, 0, static_cast<std::uint32_t>(pictures.size()));
        compress.progress = [observer, &stop](std::uint64_t done, std::uint64_t total) {
            observer->advance(done, total);
            if (observer->cancelled()) stop = true;
        };
        compress.stop = &stop;
    }
    OrderSearchOptions order;
    order.effort = std::min(options.effort, kMaxOrderEffort);
    order.sizeLimit = options.sizeLimit;
    if (options.observer != nullptr) {
        EncodeObserver* observer = options.observer;
        order.searching = [observer] { observer->begin(Stage::ordering); };
    }
    ran = true;
    const MinimiseStatus status = search.run({images.get(), pictures.size()}, pixelCount, colourCount, compress, order);
    if (status == MinimiseStatus::ok && search.found() && !paintsBack(pictures, search)) {
        // Not written; the caller compresses in the maker's order instead.
        ran = false;
    }
    return status;
}

}  // namespace qm5
