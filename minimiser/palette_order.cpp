#include "minimiser/palette_order.hpp"

#include <algorithm>
#include <chrono>
#include <functional>
#include <numeric>

#include "minimiser/palette_model.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

using fast::kNoSize;
using fast::RecordRef;

// The model order is made for palettes up to this size: its sums take
// colours^2 steps.
constexpr std::uint32_t kModelColours = 1024;
// Orders that put the colour with most pixels lower are judged from this
// effort up. The colours above it then have most of the picture as don't
// care and their primes number hundreds of thousands: such an order costs
// about 12 times the ascending one, so a smaller budget would be spent on
// it in vain, cut before its sum is known. They pay on some pictures (a
// background at index 0), given that budget.
constexpr unsigned kLargestLowEffort = 16;
// The model's order moves the colours that gain most from don't cares up,
// where their primes multiply: it costs 1.7 to 2.1 times the ascending
// order where it pays on the benchmark pictures (more where it does not).
// It is foreseen at this multiple (in halves) of the records it replaces:
// within one effort's budget it is judged for the colours of the lowest
// indices only; higher efforts (4 on the benchmark pictures) judge all
// of it after that.
constexpr std::uint64_t kModelCostHalves = 3;
// The search's own steps in work units (measured against the records'):
// a position sorted by colour, a neighbour the model looks at.
constexpr std::uint64_t kPrepareWork = 4;
constexpr std::uint64_t kModelWork = 2;
// The maker's order costs what effort 0 does; the search leaves this
// share of it unspent for the steps after it and for what the counts still
// miss, so that effort 1 costs at most twice effort 0: the cover's steps
// of an order's records take up to a tenth more instructions than those
// of the maker's order (the largest colour last on flat1024 and flat2048,
// where effort 1 came to 2.06 to 2.08 times effort 0 with a sixteenth).
constexpr std::uint64_t kReserveShare = 8;
// The budget of one effort is the maker's order's work up to this many
// units (about 4 CPU seconds on the 2-core benchmark machine): past it an
// effort would double a long run (photo1024: 10 s at effort 0) for gains
// of about 1 %, where the whole PNG-8 pipeline takes 15 s.
constexpr std::uint64_t kMaxEffortWork = std::uint64_t{1} << 32;
}  // namespace

std::uint64_t PaletteOrderSearch::workingMemoryBound(std::uint64_t pixelCount, std::uint32_t colourCount,
                                                     std::uint64_t imageCount, unsigned threads) {
    // The model's row, sums and counts, its order and the colours of a run.
    const std::uint64_t model = colourCount <= kModelColours ? 25 * std::uint64_t{colourCount} : 0;
    return fast::OrderEvaluator::bytesFor(pixelCount, colourCount, imageCount, threads) +
           2 * imageCount * colourCount * sizeof(RecordRef) + 16 * std::uint64_t{colourCount} + model;
}

void PaletteOrderSearch::report(std::uint64_t done, std::uint64_t total, bool force) {
    if (!options_->progress) return;
    // A few times a second: the clock paces the display, never the search.
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto pace = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::milliseconds(100)).count());
    if (!force && now - lastReport_ < pace) return;
    lastReport_ = now;
    options_->progress(std::min(done, total), total);
}

MinimiseStatus PaletteOrderSearch::run(std::span<const std::uint32_t* const> images, std::uint64_t pixelCount,
                                       std::uint32_t colourCount, const CompressOptions& options,
                                       const OrderSearchOptions& search) {
    found_ = false;
    bytes_ = 0;
    failedImage_ = 0;
    failedColour_ = 0;
    statistics_ = Statistics{};
    options_ = &options;
    lastReport_ = 0;
    limit_ = search.sizeLimit;
    largestLow_ = search.effort >= kLargestLowEffort;
    if (images.empty() || colourCount == 0) return MinimiseStatus::invalidTable;
    evaluator_.setStop(options.stop);
    // The search's own arrays beside the evaluator's.
    const std::uint64_t outside =
        workingMemoryBound(pixelCount, colourCount, images.size(), options.threads) -
        fast::OrderEvaluator::bytesFor(pixelCount, colourCount, images.size(), options.threads);
    const MinimiseStatus prepared = evaluator_.prepare(images, pixelCount, colourCount, options.threads, limits_,
                                                       options.memoryLimit - std::min(options.memoryLimit, outside));
    if (prepared != MinimiseStatus::ok) return prepared;
    evaluator_.addWork(kPrepareWork * pixelCount * images.size());
    const std::uint64_t prepareWork = evaluator_.work();
    const std::uint64_t refCount = images.size() * std::uint64_t{colourCount};
    if (!order_.allocate(colourCount) || !trial_.allocate(colourCount) || !refs_.allocate(refCount) ||
        !trialRefs_.allocate(refCount)) {
        return MinimiseStatus::outOfMemory;
    }
    std::iota(order_.begin(), order_.end(), 0u);

    // 1. The maker's order, with BestCompressor's records.
    evaluator_.setProgress([&] { report(evaluator_.computed(), refCount, false); });
    bytes_ = evaluator_.evaluate(order_.span(), 0, colourCount, 0, limit_, kNoSize, refs_.data());
    if (evaluator_.status() != MinimiseStatus::ok) return evaluator_.status();
    statistics_.makerWork = evaluator_.work();
    statistics_.makerBytes = bytes_;
    statistics_.candidateBytes = bytes_;
    found_ = bytes_ != kNoSize;
    MinimiseStatus failure = MinimiseStatus::ok;
    if (!found_ && evaluator_.tooLongAt() != kNoSize) {
        failure = MinimiseStatus::recordTooLong;
        failedImage_ = static_cast<std::uint32_t>(evaluator_.tooLongAt() / colourCount);
        failedColour_ = static_cast<std::uint32_t>(evaluator_.tooLongAt() % colourCount);
    }

    // 2. and 3. within the budget.
    setBudget(prepareWork, search.effort);
    const std::uint64_t budget = budgetEnd_ - budgetStart_;
    evaluator_.setProgress([&, budget] { report(evaluator_.progressWork() - budgetStart_, budget, false); });
    bool ok = true;
    if (search.effort > 0 && colourCount > 1) {
        if (search.searching) search.searching();
        ok = candidates(images, pixelCount) && (!found_ || localSearch());
    }
    evaluator_.setProgress({});
    report(1, 1, true);
    statistics_.work = evaluator_.work();
    statistics_.computed = evaluator_.computed();
    if (!ok) return evaluator_.status() != MinimiseStatus::ok ? evaluator_.status() : MinimiseStatus::outOfMemory;
    return found_ ? MinimiseStatus::ok : failure;
}

// The budget after the maker's order, whose records are the unit (up to
// kMaxEffortWork); the positions sorted (prepared, the work before them)
// come out of it, and so does a reserve for the steps after the search
// that no count holds (painting the order back, writing).
void PaletteOrderSearch::setBudget(std::uint64_t prepared, unsigned effort) {
    budgetStart_ = evaluator_.work();
    unit_ = std::clamp<std::uint64_t>(budgetStart_ - prepared, 1, kMaxEffortWork);
    const std::uint64_t spent = prepared + unit_ / kReserveShare;
    const std::uint64_t allowed = std::uint64_t{effort} * unit_;
    budgetEnd_ = budgetStart_ + (allowed - std::min(allowed, spent));
    spent_ = false;
}

// The candidates after the maker's order, each judged against the best so
// far; false when storage ran out.
bool PaletteOrderSearch::candidates(std::span<const std::uint32_t* const> images, std::uint64_t pixelCount) {
    const std::uint32_t colours = evaluator_.colours();
    std::uint32_t largest = 0;
    for (std::uint32_t c = 1; c < colours; ++c) {
        if (evaluator_.totalCount(c) > evaluator_.totalCount(largest)) largest = c;
    }
    largest_ = largest;
    HeapArray<std::uint32_t> candidate;
    HeapArray<std::uint32_t> model;  // the model's order, once made
    if (!candidate.allocate(colours)) return false;
    bool modelWhole = false;  // the model's order judged at every index
    for (unsigned k = 1; k <= 4 && budgetLeft(); ++k) {
        std::uint64_t limit = budgetEnd_;
        if (k == 2 && !largestLow_) continue;
        if (k >= 3) {
            if (colours > kModelColours || modelWhole) break;
            // The model's order at the lowest run of indices that one
            // effort's budget affords (k = 3), then at every index where the
            // budget left affords it (k = 4), foreseen as an order that
            // changes the records of the run.
            const std::uint64_t left = budgetEnd_ - evaluator_.work();
            limit = evaluator_.work() + left - (left >= 2 * unit_ ? unit_ : 0);
            const std::uint64_t room = limit - evaluator_.work();
            const Window window = !found_ ? Window{0, colours} : modelWindow(k == 3 ? std::min(room, unit_) : room);
            modelWhole = window.hi - window.lo == colours;
            if (window.hi - window.lo < 2 || (k == 4 && !modelWhole)) {
                ++statistics_.skipped;
                continue;
            }
            if (model.size() == 0) {
                evaluator_.addWork(kModelWork * pixelCount * images.size() * positionBitCount(pixelCount));
                if (!model.allocate(colours) || !modelOrder(evaluator_, images, pixelCount, colours, model.span())) {
                    return false;
                }
            }
            std::copy(model.begin(), model.end(), candidate.begin());
            if (!modelWhole && !modelWindowOrder(window, candidate.span())) return false;
        } else {
            // The largest colour last (k = 1) or first, the others in the maker's order.
            std::uint32_t at = k == 2 ? 1 : 0;
            for (std::uint32_t c = 0; c < colours; ++c) {
                if (c != largest) candidate[at++] = c;
            }
            candidate[k == 2 ? 0 : colours - 1] = largest;
        }
        const std::uint64_t before = bytes_;
        if (!tryOrder(candidate.span(), std::min(bytes_, limit_), limit)) return false;
        if (found_ && bytes_ != before) {
            statistics_.candidate = std::min(k, 3u);
            statistics_.candidateBytes = bytes_;
        }
    }
    return true;
}

// The lowest run of two indices or more whose records, foreseen as the
// model's order would remake them, cost at most room, as long as it fits.
// Low indices cost least (their colours have the fewest don't cares) and,
// on the benchmark pictures, gain most.
PaletteOrderSearch::Window PaletteOrderSearch::modelWindow(std::uint64_t room) const {
    const std::uint32_t colours = evaluator_.colours();
    for (std::uint32_t lo = 0; lo + 1 < colours; ++lo) {
        std::uint32_t hi = lo;
        std::uint64_t cost = 0;
        for (; hi < colours; ++hi) {
            const std::uint64_t more = cost + costOf(hi, hi + 1);
            if (kModelCostHalves * more / 2 > room) break;
            cost = more;
        }
        if (hi - lo >= 2) return {lo, hi};
    }
    return {};
}

// Into model (the model's order of every colour): order_ with its colours
// at the window's indices in the model's order, the others in place. Only
// those indices change their records: a record depends on its colour and
// the set of colours below it. False when storage ran out.
bool PaletteOrderSearch::modelWindowOrder(Window window, std::span<std::uint32_t> model) const {
    const std::uint32_t colours = evaluator_.colours();
    HeapArray<std::uint8_t> inside;  // the colours at the window's indices
    if (!inside.allocate(colours)) return false;
    for (std::uint32_t i = window.lo; i < window.hi; ++i) inside[order_[i]] = 1;
    // The window's colours to the front in the model's order, then back to
    // front into their place.
    std::uint32_t at = 0;
    for (std::uint32_t i = 0; i < colours; ++i) {
        if (inside[model[i]] != 0) model[at++] = model[i];
    }
    std::copy_backward(model.begin(), model.begin() + at, model.begin() + window.hi);
    std::copy(order_.begin(), order_.begin() + window.lo, model.begin());
    std::copy(order_.begin() + window.hi, order_.end(), model.begin() + window.hi);
    return true;
}

// Judges order against order_: only the indices where they differ change
// their records. Keeps it when its records sum below cutoff before the
// work reaches workLimit; false when storage ran out.
bool PaletteOrderSearch::tryOrder(std::span<const std::uint32_t> order, std::uint64_t cutoff,
                                  std::uint64_t workLimit) {
    const std::uint32_t colours = evaluator_.colours();
    std::uint32_t lo = 0;
    std::uint32_t hi = colours;
    std::uint64_t outside = 0;
    if (found_) {
        while (lo < colours && order[lo] == order_[lo]) ++lo;
        if (lo == colours) return true;
        while (order[hi - 1] == order_[hi - 1]) --hi;
        if (!affords(costOf(lo, hi))) {
            ++statistics_.skipped;
            return true;
        }
        outside = bytes_;
        for (std::size_t m = 0; m < evaluator_.images(); ++m) {
            for (std::uint32_t i = lo; i < hi; ++i) outside -= evaluator_.size(refs_[m * colours + i]);
        }
    }
    const std::uint64_t bytes =
        evaluator_.evaluate(order, lo, hi, outside, cutoff, workLimit, trialRefs_.data());
    spent_ = spent_ || (evaluator_.overBudget() && workLimit >= budgetEnd_);
    if (evaluator_.status() != MinimiseStatus::ok) return false;
    if (bytes == kNoSize) return true;
    for (std::size_t m = 0; m < evaluator_.images(); ++m) {
        std::copy(trialRefs_.data() + m * colours + lo, trialRefs_.data() + m * colours + hi,
                  refs_.data() + m * colours + lo);
    }
    std::copy(order.begin(), order.end(), order_.begin());
    bytes_ = bytes;
    found_ = true;
    return evaluator_.trimCache(refs_.span());
}

// The work of the records of order_ at indices lo .. hi - 1, all images.
std::uint64_t PaletteOrderSearch::costOf(std::uint32_t lo, std::uint32_t hi) const {
    const std::uint32_t colours = evaluator_.colours();
    std::uint64_t sum = 0;
    for (std::size_t m = 0; m < evaluator_.images(); ++m) {
        for (std::uint32_t i = lo; i < hi; ++i) sum += evaluator_.cost(refs_[m * colours + i]);
    }
    return sum;
}

// Whether moving the colour at index from to index to puts the colour
// with most pixels at a lower index (judged only from kLargestLowEffort).
bool PaletteOrderSearch::lowersLargest(std::uint32_t from, std::uint32_t to) const {
    if (largestLow_) return false;
    if (from > to) return order_[from] == largest_;
    for (std::uint32_t i = from + 1; i <= to; ++i) {
        if (order_[i] == largest_) return true;
    }
    return false;
}

// Moves the colour at index from to index to, those between shifting by one.
bool PaletteOrderSearch::tryMove(std::uint32_t from, std::uint32_t to) {
    if (lowersLargest(from, to)) return true;
    std::copy(order_.begin(), order_.end(), trial_.begin());
    const std::uint32_t colour = trial_[from];
    if (from < to) {
        std::copy(trial_.data() + from + 1, trial_.data() + to + 1, trial_.data() + from);
    } else {
        std::copy_backward(trial_.data() + to, trial_.data() + from, trial_.data() + from + 1);
    }
    trial_[to] = colour;
    ++statistics_.moves;
    const std::uint64_t before = bytes_;
    if (!tryOrder(trial_.span(), bytes_, budgetEnd_)) return false;
    if (bytes_ < before) ++statistics_.kept;
    return true;
}

bool PaletteOrderSearch::localSearch() {
    bool improved = true;
    while (improved && budgetLeft()) {
        improved = false;
        if (!sweep(improved)) return false;
        if (!improved && !jumps(improved)) return false;
    }
    return true;
}

// Each pair of neighbours swapped in turn, from index 0 up.
bool PaletteOrderSearch::sweep(bool& improved) {
    for (std::uint32_t i = 0; i + 1 < evaluator_.colours() && budgetLeft(); ++i) {
        const std::uint64_t before = bytes_;
        if (!tryMove(i, i + 1)) return false;
        improved = improved || bytes_ < before;
    }
    return true;
}

// Each colour, longest records first, moved 2, 4, 8, ... indices down or
// up until a move is kept.
bool PaletteOrderSearch::jumps(bool& improved) {
    const std::uint32_t colours = evaluator_.colours();
    // Per colour: its record bytes << 32 | its inverted colour number, so
    // that sorting descending puts the longest first and, among equals,
    // the lower colour first.
    HeapArray<std::uint64_t> keys;
    HeapArray<std::uint32_t> at;    // index of each colour
    if (!keys.allocate(colours) || !at.allocate(colours)) return false;
    for (std::uint32_t i = 0; i < colours; ++i) {
        std::uint64_t bytes = 0;
        for (std::size_t m = 0; m < evaluator_.images(); ++m) bytes += evaluator_.size(refs_[m * colours + i]);
        keys[i] = (std::min<std::uint64_t>(bytes, 0xFFFFFFFFu) << 32) | (0xFFFFFFFFu - order_[i]);
    }
    std::sort(keys.begin(), keys.end(), std::greater<>());
    for (std::uint32_t k = 0; k < colours && budgetLeft(); ++k) {
        const std::uint32_t colour = 0xFFFFFFFFu - static_cast<std::uint32_t>(keys[k]);
        for (std::uint32_t i = 0; i < colours; ++i) at[order_[i]] = i;
        const std::uint32_t from = at[colour];
        bool kept = false;
        for (std::uint32_t d = 2; d < colours && !kept && budgetLeft(); d *= 2) {
            for (int side = 0; side < 2 && !kept && budgetLeft(); ++side) {
                if (side == 0 ? from < d : from + d >= colours) continue;
                const std::uint64_t before = bytes_;
                if (!tryMove(from, side == 0 ? from - d : from + d)) return false;
                kept = bytes_ < before;
            }
        }
        improved = improved || kept;
    }
    return true;
}

}  // namespace qm5
