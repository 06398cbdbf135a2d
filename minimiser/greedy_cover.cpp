// CoverSolver's greedy choice for groups too large to solve exactly, and
// the irredundancy pass over the cubes chosen.
//
// Based on: the greedy set cover of D. S. Johnson, "Approximation
// algorithms for combinatorial problems", J. Computer and System Sciences 9
// (1974) and V. Chvatal, "A greedy heuristic for the set-covering problem",
// Mathematics of Operations Research 4 (1979): repeatedly the column that
// covers most; here each uncovered row counts by how few columns hold it.
#include <algorithm>

#include "minimiser/best_cover.hpp"

namespace qm5 {

// Repeatedly the column of the highest score (its uncovered rows, each
// weighted by rowWeight), the lowest column on a tie. Scores only fall; an
// entry whose score is stale is pushed again with the current one.
void CoverSolver::greedy(const std::uint32_t* cols, std::uint32_t colCount) {
    GreedyEntry* heap = heap_.data();
    auto less = [](const GreedyEntry& x, const GreedyEntry& y) {
        return x.score != y.score ? x.score < y.score : x.col > y.col;
    };
    std::size_t size = 0;
    for (std::uint32_t k = 0; k < colCount; ++k) {
        if (!selected_[cols[k]] && live_[cols[k]] > 0) heap[size++] = GreedyEntry{score_[cols[k]], cols[k]};
    }
    std::make_heap(heap, heap + size, less);
    while (size > 0) {
        std::pop_heap(heap, heap + size, less);
        const GreedyEntry top = heap[--size];
        if (selected_[top.col] || live_[top.col] == 0) continue;
        spent_ += 16;
        if (score_[top.col] != top.score) {
            heap[size++] = GreedyEntry{score_[top.col], top.col};
            std::push_heap(heap, heap + size, less);
            continue;
        }
        cover(top.col);
    }
}

// Drops chosen columns whose rows all lie in other chosen columns, those
// with fewest rows first (the last candidates among equals first).
void CoverSolver::irredundant() {
    const std::uint32_t rows = rowCount_;
    const std::uint32_t cols = colCount_;
    std::uint32_t* times = scratch_.data();  // per row: chosen columns holding it
    std::fill(times, times + rows, 0u);
    std::uint32_t* picked = order_.data();
    std::uint32_t n = 0;
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (!selected_[c]) continue;
        picked[n++] = c;
        for (std::uint64_t i = colStart_[c]; i < colStart_[c + 1]; ++i) ++times[colRows_[i]];
    }
    auto size = [&](std::uint32_t c) { return colStart_[c + 1] - colStart_[c]; };
    std::sort(picked, picked + n, [&](std::uint32_t x, std::uint32_t y) {
        return size(x) != size(y) ? size(x) < size(y) : x > y;
    });
    for (std::uint32_t k = 0; k < n; ++k) {
        const std::uint32_t c = picked[k];
        bool redundant = true;
        for (std::uint64_t i = colStart_[c]; i < colStart_[c + 1] && redundant; ++i) redundant = times[colRows_[i]] >= 2;
        if (!redundant) continue;
        selected_[c] = 0;
        for (std::uint64_t i = colStart_[c]; i < colStart_[c + 1]; ++i) --times[colRows_[i]];
    }
}

}  // namespace qm5
