#pragma once
// The palette order for the smallest texture --best can write.
//
// Readers look colours up by index and paint the records of an image from
// the last index down; nothing depends on the order of the palette. The
// order decides which colour has the free whole-image record (the last)
// and which colours are don't cares for which (those below), so the same
// pictures compress to other sizes under other orders. The search judges
// every order by the records it writes (best_record.hpp), summed over all
// images:
// 1. the maker's order (ascending colour values), whose records are those
//    BestCompressor writes;
// 2. orders that often do better: the colour with most pixels at the last
//    index; the same colour at index 0 (at high efforts only); and an
//    order from a model of how much each colour gains from another as a
//    don't care (positions with one-bit neighbours of the other colour),
//    a colour that gains more from the others than they gain from it
//    going higher: first for the colours at the lowest run of indices
//    that one effort's budget affords (the others in place), then, where
//    the budget left affords it, for all;
// 3. from the best of those, moves of single colours: swaps of neighbours,
//    sweep after sweep, then jumps of 2, 4, 8, ... indices, the colours
//    with the longest records first; a move is kept when the texture gets
//    smaller. Below a high effort, orders that put the colour with most
//    pixels lower are not judged: they cost the most, more than such a
//    budget.
// The search stops when the budget is spent or no move helps. The budget
// counts work (PrimeSearch's units, the same on every machine) as a
// multiple (the effort) of the work of the maker's order, so the result
// depends on the input and the effort alone, never on time or threads. The
// search's own steps (the positions by colour, the model's scan) are
// counted too, and an order whose records are foreseen to cost more than
// the budget left (the work of the records it replaces; half as much again
// for the model's) is not judged: cut before its sum is known, it would
// spend the rest in vain. Reordering the colours of a run of indices
// changes the records of that run alone, so the model's order can be
// judged on a run that fits. With two efforts' worth left or more, the
// model's order of every index leaves one to the moves, in case it is cut.
// An order is kept only when smaller, so the texture is never larger than
// in the maker's order.

#include <cstdint>
#include <functional>
#include <span>

#include "core/heap_array.hpp"
#include "minimiser/best_cover.hpp"
#include "minimiser/picture_compressor.hpp"
#include "minimiser/order_evaluator.hpp"

namespace qm5 {

// The search's budget, in multiples of the work of compressing the
// pictures once in the maker's order; 0 keeps the maker's order.
inline constexpr unsigned kDefaultOrderEffort = 1;
inline constexpr unsigned kMaxOrderEffort = 1000;

struct OrderSearchOptions {
    unsigned effort = kDefaultOrderEffort;
    // Record bytes (all images) at or above which an order is of no use
    // (qm5 encode --auto: the texture must be smaller than plain); the
    // search stops judging an order as soon as it reaches them.
    std::uint64_t sizeLimit = ~std::uint64_t{0};
    // Called as the search proper begins, once the maker's order is
    // judged: the progress that follows counts the search's work.
    std::function<void()> searching;
};

class PaletteOrderSearch {
public:
    // Figures of the last run, for measurements and tests.
    struct Statistics {
        std::uint64_t makerWork = 0;       // work of the maker's order
        std::uint64_t work = 0;            // work of the whole search
        std::uint64_t computed = 0;        // records computed (not taken from the cache)
        std::uint64_t makerBytes = 0;      // record bytes in the maker's order (fast::kNoSize: none below the limit)
        std::uint64_t candidateBytes = 0;  // of the best candidate order
        unsigned candidate = 0;            // which: 0 maker's, 1 largest last, 2 largest first, 3 model
        std::uint64_t moves = 0;           // moves judged
        std::uint64_t kept = 0;            // of them kept
        std::uint64_t skipped = 0;         // orders foreseen to cost more than the budget left
    };

    PaletteOrderSearch() = default;
    PaletteOrderSearch(const PaletteOrderSearch&) = delete;
    PaletteOrderSearch& operator=(const PaletteOrderSearch&) = delete;

    // images: the pictures of one texture, each pixelCount palette indices
    // below colourCount. options: threads, and progress, called on the
    // calling thread: first done of total records of the maker's order,
    // then done of total work of the search (total changes once).
    // outOfMemory, invalidTable: no order. ok with found() false: no order
    // tried has all its records below the longest a head states and stays
    // below sizeLimit; recordTooLong when a record of the maker's order is
    // too long and no other order does better (failedImage and
    // failedColour name it).
    MinimiseStatus run(std::span<const std::uint32_t* const> images, std::uint64_t pixelCount,
                       std::uint32_t colourCount, const CompressOptions& options, const OrderSearchOptions& search);

    // Working memory of run (bytes), for a caller that must stay within a limit.
    static std::uint64_t workingMemoryBound(std::uint64_t pixelCount, std::uint32_t colourCount,
                                            std::uint64_t imageCount, unsigned threads);

    bool found() const { return found_; }
    // order()[i]: the maker's index of the colour at index i.
    std::span<const std::uint32_t> order() const { return order_.span(); }
    // The record of the colour at index i of image m, in that order.
    std::span<const std::uint8_t> record(std::size_t image, std::uint32_t index) const {
        return evaluator_.record(refs_[image * evaluator_.colours() + index]);
    }
    // Bytes of all records of all images.
    std::uint64_t recordBytes() const { return bytes_; }
    std::uint32_t failedImage() const { return failedImage_; }
    std::uint32_t failedColour() const { return failedColour_; }
    const Statistics& statistics() const { return statistics_; }

    void setLimits(const CoverLimits& limits) { limits_ = limits; }

private:
    [[nodiscard]] bool tryOrder(std::span<const std::uint32_t> order, std::uint64_t cutoff, std::uint64_t workLimit);
    std::uint64_t costOf(std::uint32_t lo, std::uint32_t hi) const;
    struct Window {
        std::uint32_t lo = 0;
        std::uint32_t hi = 0;
    };
    Window modelWindow(std::uint64_t room) const;
    [[nodiscard]] bool modelWindowOrder(Window window, std::span<std::uint32_t> model) const;
    bool affords(std::uint64_t cost) const { return cost <= budgetEnd_ - std::min(budgetEnd_, evaluator_.work()); }
    [[nodiscard]] bool tryMove(std::uint32_t from, std::uint32_t to);
    bool lowersLargest(std::uint32_t from, std::uint32_t to) const;
    void setBudget(std::uint64_t prepared, unsigned effort);
    [[nodiscard]] bool candidates(std::span<const std::uint32_t* const> images, std::uint64_t pixelCount);
    [[nodiscard]] bool localSearch();
    [[nodiscard]] bool sweep(bool& improved);
    [[nodiscard]] bool jumps(bool& improved);
    bool budgetLeft() const {
        return evaluator_.work() < budgetEnd_ && !spent_ && !evaluator_.stopped();
    }
    void report(std::uint64_t done, std::uint64_t total, bool force);

    CoverLimits limits_;
    fast::OrderEvaluator evaluator_;
    const CompressOptions* options_ = nullptr;
    HeapArray<std::uint32_t> order_;
    HeapArray<fast::RecordRef> refs_;  // per image, per index: the records of order_
    HeapArray<std::uint32_t> trial_;   // an order being judged, and its records
    HeapArray<fast::RecordRef> trialRefs_;
    std::uint64_t bytes_ = 0;
    std::uint64_t limit_ = 0;
    std::uint64_t budgetStart_ = 0;
    std::uint64_t budgetEnd_ = 0;
    std::uint64_t unit_ = 0;  // the budget of one effort
    bool spent_ = false;      // an order was cut at budgetEnd_
    std::uint32_t largest_ = 0;  // the colour with most pixels
    bool largestLow_ = false;    // whether orders that put it lower are judged
    bool found_ = false;
    std::uint32_t failedImage_ = 0;
    std::uint32_t failedColour_ = 0;
    Statistics statistics_;
    std::uint64_t lastReport_ = 0;  // steady-clock ticks of the last progress call
};

}  // namespace qm5
