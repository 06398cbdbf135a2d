// CoverSolver's choice over its table: essential columns, then the groups of
// rows left that share no column, each solved exactly (exact_cover.cpp) or
// by the greedy (greedy_cover.cpp), then the irredundancy pass.
#include <algorithm>
#include <utility>

#include "minimiser/best_cover.hpp"
#include "minimiser/bitmap.hpp"
#include "minimiser/prime_cover.hpp"

namespace qm5 {

namespace {

constexpr std::uint32_t kNone = ~std::uint32_t{0};

std::uint32_t findRoot(std::uint32_t* parent, std::uint32_t x) {
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

}  // namespace

void CoverSolver::addWeight(std::uint32_t row, std::uint64_t delta) {
    std::uint64_t* tree = fenwick_.data();
    for (std::uint64_t i = std::uint64_t{row} + 1; i <= rowCount_; i += i & (0 - i)) tree[i] += delta;
}

// The weights of the uncovered rows below row.
std::uint64_t CoverSolver::weightBelow(std::uint32_t row) const {
    const std::uint64_t* tree = fenwick_.data();
    std::uint64_t sum = 0;
    for (std::uint32_t i = row; i > 0; i &= i - 1) sum += tree[i];
    return sum;
}

// The weights of the uncovered rows first .. end - 1 (its work: runSteps).
std::uint64_t CoverSolver::runWeight(std::uint32_t first, std::uint32_t end) const {
    if (end - first <= kShortRun) {
        // All kShortRun lanes, without a branch on the length (runs of one
        // to a few rows, mispredicted): weights are below 2^25, so 16 of
        // them fit 32 bits.
        const std::uint32_t* at = weight_.data() + first;
        const std::uint32_t length = end - first;
        std::uint32_t part = 0;
        for (std::uint32_t i = 0; i < kShortRun; ++i) part += i < length ? at[i] : 0u;
        return part;
    }
    return weightBelow(end) - weightBelow(first);
}

// The greedy's score of a column: the weights of its uncovered rows, from
// the runs that held some when it was last scored (scoreSpan_), which it
// narrows to those that still do. Every uncovered row weighs 1 at least.
std::uint64_t CoverSolver::score(std::uint32_t col) {
    std::uint64_t& from = scoreSpan_[2 * std::uint64_t{col}];
    std::uint64_t& to = scoreSpan_[2 * std::uint64_t{col} + 1];
    std::uint64_t sum = 0;
    std::uint64_t newFrom = to;
    std::uint64_t newTo = to;
    std::uint32_t newPrevious = 0;
    std::uint32_t previous = spanPrevious_[col];
    eachRunIn(from, to, previous, [&](std::uint32_t first, std::uint32_t end, std::uint64_t at, std::uint64_t next) {
        const std::uint64_t weight = runWeight(first, end);
        if (weight != 0) {
            if (sum == 0) {
                newFrom = at;
                newPrevious = previous;
            }
            newTo = next;
            sum += weight;
        }
        previous = end;
    });
    from = newFrom;
    to = newTo;
    spanPrevious_[col] = newPrevious;
    spent_ += CoverWeights::kScore * scoreSteps_[col];
    return sum;
}

// Chooses column col and covers its rows. scored: the greedy's pick, just
// scored, whose uncovered rows all lie in its scoreSpan_; the steps are
// those of a walk of all its rows.
void CoverSolver::cover(std::uint32_t col, bool scored) {
    selected_[col] = 1;
    std::uint64_t steps = colRows_[col];
    const std::uint64_t from = scored ? scoreSpan_[2 * std::uint64_t{col}] : colStart_[col];
    const std::uint64_t to = scored ? scoreSpan_[2 * std::uint64_t{col} + 1] : colStart_[col + 1];
    eachRunIn(from, to, scored ? spanPrevious_[col] : 0, [&](std::uint32_t first, std::uint32_t end, std::uint64_t,
                                                             std::uint64_t) {
        for (std::uint32_t r = first; r < end; ++r) {
            if (covered_[r]) continue;
            covered_[r] = 1;
            --uncoveredRows_;
            addWeight(r, 0 - std::uint64_t{weight_[r]});
            weight_[r] = 0;
            steps += 32;
        }
    });
    spent_ += CoverWeights::kCover * steps;
}

MinimiseStatus CoverSolver::choose() {
    const std::uint32_t rows = rowCount_;
    const std::uint32_t cols = colCount_;
    if (!selected_.allocate(cols) || !chosen_.makeRoom(cols)) return MinimiseStatus::outOfMemory;
    // 1. Essentials: the one column of a row held by one (weight 2^24).
    std::uint32_t essentials = 0;
    for (std::uint32_t r = 0; r < rows; ++r) {
        if (weight_[r] != (std::uint32_t{1} << 24) || covered_[r]) continue;
        cover(scratch_[r]);
        ++essentials;
    }
    // No cover does without them: a record past the limit is known here.
    if (cubeDataLength(essentials, b_) > limits_.maxDataLength) return MinimiseStatus::recordTooLong;
    // 2. Groups of the rows left, 3. each solved. Past the work limit the
    // choice stops between steps, without a cover (stopped()).
    std::uint32_t groups = 0;
    if (pastLimit() || !group(groups)) return stopped_ ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
    if (pastLimit() || !solveGroups(groups)) return stopped_ ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
    // 4. Irredundancy, then the cover in candidate order.
    if (pastLimit()) return MinimiseStatus::ok;
    if (!irredundant()) return MinimiseStatus::outOfMemory;
    chosenCount_ = 0;
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (selected_[c]) chosen_[chosenCount_++] = candidates_[colCand_[c]];
    }
    return MinimiseStatus::ok;
}

// Joins the uncovered rows that share a live column (union-find over the
// uncovered rows numbered in order, where a run's uncovered rows are
// consecutive), numbers the groups by their lowest row and lists each
// group's live columns in order_, ascending, with the offsets of the
// columns and the row counts in groupStarts_; uncovered_ gives a row's
// number and scratch_ then its place in its group; scores_ each live
// column's score, scoreSpan_ and scoreSteps_ what the greedy reads of it.
// (Over 60 lines: the steps share the union-find's arrays.)
bool CoverSolver::group(std::uint32_t& groups) {
    const std::uint32_t rows = rowCount_;
    const std::uint32_t cols = colCount_;
    if (!uncovered_.allocate(std::uint64_t{rows} + 1) || !live_.allocate(cols) || !scores_.allocate(cols) ||
        !scoreSpan_.allocate(2 * std::uint64_t{cols}) || !spanPrevious_.allocate(cols) ||
        !scoreSteps_.allocate(cols)) {
        return false;
    }
    for (std::uint32_t r = 0; r < rows; ++r) uncovered_[r + 1] = uncovered_[r] + (covered_[r] ? 0 : 1);
    const std::uint32_t left = uncovered_[rows];
    const std::uint32_t* number = uncovered_.data();
    // parent, then per root its group; next: the first number at or after
    // one that is not yet joined to the number after it.
    if (!scratch_.allocate(2 * std::uint64_t{left} + 2)) return false;
    std::uint32_t* parent = scratch_.data();
    std::uint32_t* next = scratch_.data() + left + 1;
    for (std::uint32_t u = 0; u <= left; ++u) {
        parent[u] = u;
        next[u] = u;
    }
    auto nextOpen = [&](std::uint32_t u) {
        while (next[u] != u) {
            next[u] = next[next[u]];
            u = next[u];
        }
        return u;
    };
    // Per column not chosen, the number of its first uncovered row (none
    // when it has none): its group later without a second walk of its runs.
    CountedArray<std::uint32_t> firstOf(account_);
    if (!firstOf.allocate(cols)) return false;
    std::uint64_t steps = 0;
    for (std::uint32_t c = 0; c < cols; ++c) {
        std::uint32_t& first = firstOf[c];
        first = kNone;
        // The chosen columns (the essentials) hold no uncovered row.
        if (selected_[c]) continue;
        // The root of the set of the column's rows so far: only this
        // column's joins change the sets while its runs are walked, so it
        // is found once, not again for every run.
        std::uint32_t root = kNone;
        auto joinRoot = [&](std::uint32_t u) {
            const std::uint32_t y = findRoot(parent, u);
            if (y == root) return;
            parent[std::max(root, y)] = std::min(root, y);
            root = std::min(root, y);
        };
        std::uint32_t previous = 0;
        std::uint64_t colSteps = 0;
        std::uint64_t colScore = 0;
        std::uint64_t spanEnd = 0;
        std::uint32_t colLive = 0;
        eachRunIn(colStart_[c], colStart_[c + 1], 0, [&](std::uint32_t a, std::uint32_t e, std::uint64_t at,
                                                        std::uint64_t after) {
            const std::uint32_t lo = number[a];
            const std::uint32_t hi = number[e];
            colSteps += runSteps(a, e);
            const std::uint32_t before = std::exchange(previous, e);
            if (lo == hi) return;
            colLive += hi - lo;
            colScore += runWeight(a, e);
            steps += runSteps(a, e);
            spanEnd = after;
            if (first == kNone) {
                first = lo;
                root = findRoot(parent, lo);
                scoreSpan_[2 * std::uint64_t{c}] = at;
                spanPrevious_[c] = before;
            } else {
                joinRoot(lo);
            }
            // The numbers of a run from lo up already joined are in root's set
            // (a run of one number has none to join: nextOpen(lo) >= lo).
            if (hi - lo == 1) return;
            for (std::uint32_t u = nextOpen(lo); u + 1 < hi; u = nextOpen(u + 1)) {
                joinRoot(u + 1);
                next[u] = u + 1;
            }
        });
        scoreSteps_[c] = colSteps;
        scores_[c] = colScore;
        scoreSpan_[2 * std::uint64_t{c} + 1] = spanEnd;
        live_[c] = colLive;
    }
    spent_ += CoverWeights::kGroup * (steps + 2 * runBytesUsed_ + 8 * std::uint64_t{left});
    groups = 0;
    std::uint32_t* groupOf = next;  // per root
    for (std::uint32_t u = 0; u < left; ++u) groupOf[u] = kNone;
    for (std::uint32_t u = 0; u < left; ++u) {
        const std::uint32_t root = findRoot(parent, u);
        parent[u] = root;
        if (groupOf[root] == kNone) groupOf[root] = groups++;
    }
    // From here on parent holds the group of each number.
    for (std::uint32_t u = 0; u < left; ++u) parent[u] = groupOf[parent[u]];
    if (!groupStarts_.allocate(2 * (std::uint64_t{groups} + 1)) || !order_.allocate(std::uint64_t{cols} + 1)) {
        return false;
    }
    std::uint32_t* colStartOf = groupStarts_.data();
    std::uint32_t* rowCountOf = groupStarts_.data() + groups + 1;
    auto groupOfColumn = [&](std::uint32_t c) { return parent[firstOf[c]]; };
    // Each number's place in its group (into next), the columns by group.
    for (std::uint32_t u = 0; u < left; ++u) next[u] = rowCountOf[parent[u]]++;
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (!selected_[c] && live_[c] > 0) ++colStartOf[groupOfColumn(c) + 1];
    }
    for (std::uint32_t g = 0; g < groups; ++g) colStartOf[g + 1] += colStartOf[g];
    CountedArray<std::uint32_t> fill(account_);
    if (!fill.allocate(std::uint64_t{groups} + 1)) return false;
    std::copy(colStartOf, colStartOf + groups, fill.data());
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (!selected_[c] && live_[c] > 0) order_[fill[groupOfColumn(c)]++] = c;
    }
    return true;
}

// Small groups exactly, the others by the greedy. Groups share no column,
// so the order in which they are solved does not matter.
bool CoverSolver::solveGroups(std::uint32_t groups) {
    const std::uint32_t* colStartOf = groupStarts_.data();
    const std::uint32_t* rowCountOf = groupStarts_.data() + groups + 1;
    std::uint32_t* groupCols = order_.data();
    const std::uint32_t exactLimit = std::min<std::uint32_t>(limits_.exactColumns, 64);
    std::uint32_t greedyCount = 0;
    for (std::uint32_t g = 0; g < groups; ++g) {
        const std::uint32_t* gc = groupCols + colStartOf[g];
        const std::uint32_t nc = colStartOf[g + 1] - colStartOf[g];
        ExactResult exact = ExactResult::declined;
        if (pastLimit()) return true;
        if (nc <= exactLimit) {
            exact = solveExact(gc, nc, rowCountOf[g]);
            if (exact == ExactResult::outOfMemory) return false;
        }
        if (exact == ExactResult::declined) {
            // Gathered at the front of order_: nothing of a later group is overwritten.
            for (std::uint32_t k = 0; k < nc; ++k) groupCols[greedyCount++] = gc[k];
        }
    }
    return pastLimit() || greedy(groupCols, greedyCount);
}

}  // namespace qm5
