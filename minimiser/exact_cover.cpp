// CoverSolver's exact search for the small groups of a cover table:
// branch and bound over the group's rows as bit masks of its columns.
//
// Based on: branch and bound (A. H. Land, A. G. Doig, "An automatic method
// of solving discrete programming problems", Econometrica 28, 1960) on the
// prime implicant chart of E. J. McCluskey, "Minimization of Boolean
// functions", Bell System Technical Journal 35 (1956): rows that hold
// another row's columns are dropped (row dominance), the branch is on the
// row with fewest columns, and the bound counts rows that share no column.
#include <algorithm>
#include <array>
#include <bit>

#include "minimiser/best_cover.hpp"
#include "minimiser/bitmap.hpp"

namespace qm5 {

namespace {

// Exact search stays with groups whose rows, after removing duplicates and
// rows that hold another row's columns, fit this: the search copies its
// rows at each depth, at most 66 * 4096 masks (2 MiB).
constexpr std::uint32_t kExactRows = 4096;

// A cover of the n rows (masks of colCount columns) by the greedy, into
// chosen: repeatedly the column in most of the rows left, the lowest on a
// tie. Returns its column count; the rows are used up as scratch.
std::uint32_t greedyBound(std::uint64_t* left, std::uint32_t n, std::uint32_t colCount, std::uint64_t& chosen) {
    std::uint32_t picked = 0;
    while (n > 0) {
        std::uint32_t best = 0;
        std::uint32_t bestCount = 0;
        for (std::uint32_t k = 0; k < colCount; ++k) {
            std::uint32_t count = 0;
            for (std::uint32_t i = 0; i < n; ++i) count += static_cast<std::uint32_t>((left[i] >> k) & 1u);
            if (count > bestCount) {
                bestCount = count;
                best = k;
            }
        }
        chosen |= std::uint64_t{1} << best;
        ++picked;
        std::uint32_t m = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            if (((left[i] >> best) & 1u) == 0) left[m++] = left[i];
        }
        n = m;
    }
    return picked;
}

}  // namespace

CoverSolver::ExactResult CoverSolver::solveExact(const std::uint32_t* cols, std::uint32_t colCount,
                                                 std::uint32_t rowCount) {
    // The group's rows as masks of its columns (bit k = cols[k]), each row
    // at its place in the group (group() left the places after the parents
    // in scratch_). Every column of an uncovered row is live and in this group.
    if (!rowMasks_.makeRoom(rowCount)) return ExactResult::outOfMemory;
    std::uint64_t* masks = rowMasks_.data();
    std::fill(masks, masks + rowCount, std::uint64_t{0});
    const std::uint32_t* number = uncovered_.data();
    const std::uint32_t* place = scratch_.data() + number[rowCount_] + 1;
    std::uint64_t steps = 0;
    for (std::uint32_t k = 0; k < colCount; ++k) {
        eachRun(cols[k], [&](std::uint32_t first, std::uint32_t end) {
            for (std::uint32_t r = first; r < end; ++r) {
                if (!covered_[r]) masks[place[number[r]]] |= std::uint64_t{1} << k;
            }
            steps += end - first;
        });
    }
    spent_ += CoverWeights::kExact * steps;
    // A row holding all columns of another row is covered with it: keep the
    // minimal rows, fewest columns first (which also helps the bound).
    std::sort(masks, masks + rowCount, [](std::uint64_t x, std::uint64_t y) {
        const int px = bitmap::ones(x);
        const int py = bitmap::ones(y);
        return px != py ? px < py : x < y;
    });
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < rowCount; ++i) {
        bool dominated = false;
        for (std::uint32_t k = 0; k < kept && !dominated; ++k) dominated = (masks[k] & ~masks[i]) == 0;
        if (!dominated) masks[kept++] = masks[i];
        spent_ += CoverWeights::kExact * kept;
        if (kept > kExactRows) return ExactResult::declined;
    }
    maskRows_ = kept;
    if (!masks_.makeRoom((std::uint64_t{colCount} + 2) * kept)) return ExactResult::outOfMemory;
    std::copy(masks, masks + kept, masks_.data());

    // First bound: the greedy on the masks, in the scratch after them.
    std::copy(masks_.data(), masks_.data() + kept, masks_.data() + kept);
    bestChosen_ = 0;
    bestDepth_ = greedyBound(masks_.data() + kept, kept, colCount, bestChosen_);
    work_ = 0;
    search(masks_.data(), kept, 0, 0);
    spent_ += CoverWeights::kExact * (2 * work_ + std::uint64_t{rowCount} * 4);
    ++exactGroups_;
    if (work_ >= limits_.exactWork) ++cutGroups_;
    for (std::uint64_t m = bestChosen_; m != 0; m &= m - 1) cover(cols[std::countr_zero(m)]);
    return ExactResult::solved;
}

// rows: the uncovered rows at this depth, each a nonzero mask of the
// columns still allowed for it. Branches on the row with fewest columns;
// a column tried is barred from the later branches.
void CoverSolver::search(std::uint64_t* rows, std::uint32_t count, std::uint64_t chosen, std::uint32_t depth) {
    if (count == 0) {
        if (depth < bestDepth_) {
            bestDepth_ = depth;
            bestChosen_ = chosen;
        }
        return;
    }
    if (work_ >= limits_.exactWork) return;
    work_ += count;
    // Rows without a common column each need a column of their own.
    std::uint64_t used = 0;
    std::uint32_t bound = 0;
    std::uint32_t pivot = 0;
    int pivotColumns = 65;
    for (std::uint32_t i = 0; i < count; ++i) {
        if ((rows[i] & used) == 0) {
            used |= rows[i];
            ++bound;
        }
        const int n = bitmap::ones(rows[i]);
        if (n < pivotColumns) {
            pivotColumns = n;
            pivot = i;
        }
    }
    if (depth + bound >= bestDepth_) return;
    // The pivot's columns, those that cover most rows first.
    std::array<std::uint64_t, 64> order;
    std::uint32_t branches = 0;
    for (std::uint64_t m = rows[pivot]; m != 0; m &= m - 1) {
        const int k = std::countr_zero(m);
        std::uint64_t hits = 0;
        for (std::uint32_t i = 0; i < count; ++i) hits += (rows[i] >> k) & 1u;
        order[branches++] = (hits << 8) | static_cast<std::uint64_t>(63 - k);
    }
    std::sort(order.begin(), order.begin() + branches, [](std::uint64_t x, std::uint64_t y) { return x > y; });
    std::uint64_t* child = rows + maskRows_;
    std::uint64_t barred = 0;
    for (std::uint32_t t = 0; t < branches; ++t) {
        const int k = 63 - static_cast<int>(order[t] & 0xFF);
        const std::uint64_t bit = std::uint64_t{1} << k;
        std::uint32_t n = 0;
        bool feasible = true;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (rows[i] & bit) continue;
            const std::uint64_t left = rows[i] & ~barred;
            if (left == 0) {
                feasible = false;
                break;
            }
            child[n++] = left;
        }
        if (feasible) search(child, n, chosen | bit, depth + 1);
        barred |= bit;
        if (work_ >= limits_.exactWork) return;
    }
}

}  // namespace qm5
