// CoverSolver's table: the candidates sorted, their columns built
// (cover_columns.cpp), and per row the count of columns that hold it.
#include "minimiser/best_cover.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "minimiser/bitmap.hpp"
#include "minimiser/prime_cover.hpp"

namespace qm5 {

namespace {

// Candidates and written cubes: fewer fixed digits first, then care mask,
// then one mask.
bool cubeBefore(const CubeMasks& x, const CubeMasks& y) {
    const std::uint32_t cx = x.zero | x.one;
    const std::uint32_t cy = y.zero | y.one;
    const int fx = bitmap::ones(cx);
    const int fy = bitmap::ones(cy);
    if (fx != fy) return fx < fy;
    if (cx != cy) return cx < cy;
    return x.one < y.one;
}

// The greedy's weight of a row held by `columns` columns; at least 1, so
// that a column weighs something exactly while it holds an uncovered row.
std::uint32_t weightOf(std::uint32_t columns) {
    return std::max<std::uint32_t>(1, (std::uint32_t{1} << 24) / columns);
}

}  // namespace

// ---------------------------------------------------------------------------

void CoverSolver::setAccount(MemoryAccount* account) {
    account_ = account;
    for (auto* array : {&bits_, &sortKeys_, &fenwick_, &colStart_, &rowMasks_, &masks_, &colSlots_, &spanTree_,
                        &scores_, &nonEmpty_, &scoreSpan_, &scoreSteps_}) {
        array->setAccount(account);
    }
    for (auto* array : {&rankBase_, &colCand_, &colRows_, &weight_, &scratch_, &uncovered_, &live_,
                        &order_, &groupStarts_, &spanPrevious_}) {
        array->setAccount(account);
    }
    for (auto* array : {&runBytes_, &covered_, &selected_}) array->setAccount(account);
    shared_.setAccount(account);
    sharedOf_.setAccount(account);
    words_.setAccount(account);
    pieces_.setAccount(account);
    candidates_.setAccount(account);
    chosen_.setAccount(account);
    heap_.setAccount(account);
}

// Frees every array of a solve but the cover, so that what a solve takes
// from the account depends on its own input alone.
void CoverSolver::release() {
    for (auto* array : {&bits_, &sortKeys_, &fenwick_, &colStart_, &rowMasks_, &masks_, &colSlots_, &spanTree_,
                        &scores_, &nonEmpty_, &scoreSpan_, &scoreSteps_}) {
        array->reset();
    }
    for (auto* array : {&rankBase_, &colCand_, &colRows_, &weight_, &scratch_, &uncovered_, &live_,
                        &order_, &groupStarts_, &spanPrevious_}) {
        array->reset();
    }
    for (auto* array : {&runBytes_, &covered_, &selected_}) array->reset();
    shared_.reset();
    sharedOf_.reset();
    words_.reset();
    pieces_.reset();
    candidates_.reset();
    heap_.reset();
    runBytesUsed_ = 0;
}

MinimiseStatus CoverSolver::solve(int b, std::span<const std::uint32_t> onPositions,
                                  std::span<const CubeMasks> candidates) {
    chosenCount_ = 0;
    stopped_ = false;
    exactGroups_ = 0;
    cutGroups_ = 0;
    if (b < 1 || b > kMaxPositionBits) return MinimiseStatus::invalidTable;
    if (onPositions.empty()) return MinimiseStatus::ok;
    // Sorting, checking and ranking; the table and the searches count their own.
    spent_ += CoverWeights::kSetup * (onPositions.size() + 4 * candidates.size() + bitmap::wordsFor(b) / 4);
    MinimiseStatus status = build(b, onPositions, candidates);
    if (status == MinimiseStatus::ok && !pastLimit()) status = choose();
    release();
    // Whole units between solves: a record's work is then the same
    // whichever records its worker made before.
    spent_ += (CoverWeights::kPerUnit - spent_ % CoverWeights::kPerUnit) % CoverWeights::kPerUnit;
    return status;
}

// Sorts keys below 2^bits ascending: by radix, in passes of at most 11
// bits, each stable, when there are many (the other array of keys only for
// them: any size sorts as well without).
void CoverSolver::sortKeys(std::uint64_t* keys, std::size_t n, int bits) {
    CountedArray<std::uint64_t> other(account_);
    if (n < 1024 || n > ~std::uint32_t{0} || !other.allocate(n)) {
        std::sort(keys, keys + n);
        return;
    }
    const int passes = (bits + 10) / 11;
    const int width = (bits + passes - 1) / passes;
    std::uint64_t* from = keys;
    std::uint64_t* to = other.data();
    std::array<std::uint32_t, std::size_t{1} << 11> count;
    const std::uint64_t digit = (std::uint64_t{1} << width) - 1;
    for (int shift = 0; shift < bits; shift += width) {
        // The counts of this width's digits only.
        std::fill_n(count.begin(), digit + 1, std::uint32_t{0});
        for (std::size_t i = 0; i < n; ++i) ++count[(from[i] >> shift) & digit];
        if (count[(from[0] >> shift) & digit] == n) continue;  // one digit: the order stays
        std::uint32_t sum = 0;
        for (std::size_t d = 0; d <= digit; ++d) sum += std::exchange(count[d], sum);
        for (std::size_t i = 0; i < n; ++i) to[count[(from[i] >> shift) & digit]++] = from[i];
        std::swap(from, to);
    }
    if (from != keys) std::copy(from, from + n, keys);
}

// Sorts the candidates into candidates_ (cubeBefore order, duplicates
// dropped); the count kept. Up to b = 29 through one key per cube of
// 2b + 5 bits (fixed digits, care mask, one mask), sorted by radix when
// there are many: comparisons of keys that differ in few bits mispredict.
std::size_t CoverSolver::sortCandidates(int b, std::span<const CubeMasks> candidates) {
    CubeMasks* out = candidates_.data();
    const std::size_t n = candidates.size();
    if (b > 29 || !sortKeys_.makeRoom(n)) {
        std::copy(candidates.begin(), candidates.end(), out);
        std::sort(out, out + n, cubeBefore);
        return static_cast<std::size_t>(std::unique(out, out + n) - out);
    }
    std::uint64_t* keys = sortKeys_.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t care = candidates[i].zero | candidates[i].one;
        keys[i] = (static_cast<std::uint64_t>(bitmap::ones(care)) << (2 * b)) | (care << b) | candidates[i].one;
    }
    sortKeys(keys, n, 2 * b + 5);
    const auto distinct = static_cast<std::size_t>(std::unique(keys, keys + n) - keys);
    const std::uint64_t mask = (std::uint64_t{1} << b) - 1;
    for (std::size_t i = 0; i < distinct; ++i) {
        const auto care = static_cast<std::uint32_t>((keys[i] >> b) & mask);
        const auto one = static_cast<std::uint32_t>(keys[i] & mask);
        out[i] = CubeMasks{care & ~one, one};
    }
    sortKeys_.reset();
    return distinct;
}

MinimiseStatus CoverSolver::build(int b, std::span<const std::uint32_t> on, std::span<const CubeMasks> candidates) {
    const std::uint32_t all = bitmap::lowBits(b);
    if (on.size() > std::uint64_t{all} + 1) return MinimiseStatus::invalidTable;
    for (std::size_t i = 0; i < on.size(); ++i) {
        if (on[i] > all || (i > 0 && on[i] <= on[i - 1])) return MinimiseStatus::invalidTable;
    }
    // A cube with both masks zero would be the whole image: never written.
    for (const CubeMasks& cube : candidates) {
        if ((cube.zero & cube.one) != 0 || ((cube.zero | cube.one) & ~all) != 0 || (cube.zero | cube.one) == 0) {
            return MinimiseStatus::invalidTable;
        }
    }
    b_ = b;
    rowCount_ = static_cast<std::uint32_t>(on.size());
    const std::uint64_t words = bitmap::wordsFor(b);
    if (!bits_.allocate(words) || !rankBase_.allocate(words + 1) || !candidates_.allocate(candidates.size())) {
        return MinimiseStatus::outOfMemory;
    }
    const std::size_t distinct = sortCandidates(b, candidates);
    std::uint64_t* bits = bits_.data();
    for (const std::uint32_t p : on) bitmap::set(bits, p);
    // The rank of an on position: the on positions of the words before its
    // word, then those below it in its word.
    std::uint32_t below = 0;
    for (std::uint64_t w = 0; w < words; ++w) {
        rankBase_[w] = below;
        below += static_cast<std::uint32_t>(bitmap::ones(bits[w]));
    }
    rankBase_[words] = below;
    // Above the words: one bit per word, set when it has on positions.
    if (!nonEmpty_.allocate(bitmap::wordsFor(b > 6 ? b - 6 : 0))) return MinimiseStatus::outOfMemory;
    for (std::uint64_t w = 0; w < words; ++w) {
        if (bits[w] != 0) bitmap::set(nonEmpty_.data(), static_cast<std::uint32_t>(w));
    }
    // Per row, filled as the columns are built (countRows).
    if (!weight_.allocate(std::uint64_t{rowCount_} + kShortRun) || !scratch_.allocate(std::uint64_t{rowCount_} + 1)) {
        return MinimiseStatus::outOfMemory;
    }
    const MinimiseStatus columns = buildColumns(b, distinct);
    if (columns != MinimiseStatus::ok || stopped_) return columns;
    bits_.reset();
    rankBase_.reset();
    nonEmpty_.reset();
    return countRows();
}

// Per row: how many columns hold it (its weight) and, for a row held by
// one, that column (scratch_), from the differences the columns left there
// (buildColumns); the Fenwick tree of the weights.
MinimiseStatus CoverSolver::countRows() {
    const std::uint32_t rows = rowCount_;
    if (!fenwick_.allocate(std::uint64_t{rows} + 1) || !covered_.allocate(rows)) return MinimiseStatus::outOfMemory;
    uncoveredRows_ = rows;
    std::uint32_t* count = weight_.data();
    std::uint32_t* single = scratch_.data();
    spent_ += CoverWeights::kRows * 4 * std::uint64_t{rows};
    for (std::uint32_t r = 0; r < rows; ++r) {
        if (r > 0) {
            count[r] += count[r - 1];
            single[r] ^= single[r - 1];
        }
        if (count[r] == 0) return MinimiseStatus::invalidTable;  // an on position no candidate holds
    }
    for (std::uint32_t r = 0; r < rows; ++r) count[r] = weightOf(count[r]);
    std::uint64_t* tree = fenwick_.data();
    for (std::uint32_t i = 1; i <= rows; ++i) {
        tree[i] += count[i - 1];
        const std::uint64_t up = std::uint64_t{i} + (i & (0 - i));
        if (up <= rows) tree[up] += tree[i];
    }
    return MinimiseStatus::ok;
}

}  // namespace qm5
