// CoverSolver's greedy choice for groups too large to solve exactly, and
// the irredundancy pass over the cubes chosen.
//
// Based on: the greedy set cover of D. S. Johnson, "Approximation
// algorithms for combinatorial problems", J. Computer and System Sciences 9
// (1974) and V. Chvatal, "A greedy heuristic for the set-covering problem",
// Mathematics of Operations Research 4 (1979): repeatedly the column that
// covers most; here each uncovered row counts by how few columns hold it.
// Scores are worked out lazily (M. Minoux, "Accelerated greedy algorithms
// for maximizing submodular set functions", 1978): a score only falls, so
// an entry whose score is stale is pushed again with the current one, and
// the choice is that of the eager greedy.
#include <algorithm>
#include <bit>

#include "minimiser/best_cover.hpp"

namespace qm5 {

// Repeatedly the column of the highest score (its uncovered rows, each
// weighted by its weight), the lowest column on a tie, until every row is
// covered (the groups solved exactly are by now, and the columns left then
// score nothing), or the work passes its limit. A column's first score is
// the one group() found: the groups solved since cover no row of it. The
// entries wait in two queues: those never scored again, sorted once, and a
// heap of those scored again; the next is the higher of their heads. Most columns are found to hold
// nothing uncovered when they come up and leave the sorted queue at no
// cost; the heap grows at the front of the same array as the sorted queue
// is used up.
// (Over 60 lines: both queues share the array and the comparison.)
bool CoverSolver::greedy(const std::uint32_t* cols, std::uint32_t colCount) {
    if (!heap_.allocate(colCount)) return false;
    GreedyEntry* heap = heap_.data();
    auto less = [](const GreedyEntry& x, const GreedyEntry& y) {
        return x.score != y.score ? x.score < y.score : x.col > y.col;
    };
    std::size_t count = 0;
    for (std::uint32_t k = 0; k < colCount; ++k) {
        if (!selected_[cols[k]] && live_[cols[k]] > 0) heap[count++] = GreedyEntry{scores_[cols[k]], cols[k]};
    }
    sortEntries(heap, count);
    spent_ += CoverWeights::kGreedy * 4 * std::uint64_t{count};  // the sort: a quarter of a pick per entry
    std::size_t next = 0;  // the sorted queue: heap[next .. count - 1]
    std::size_t size = 0;  // the heap: heap[0 .. size - 1], size <= next
    // The top replaced by entry, moved down to its place.
    auto replaceTop = [&](GreedyEntry entry) {
        std::size_t hole = 0;
        for (std::size_t child = 1; child < size; child = 2 * hole + 1) {
            if (child + 1 < size && less(heap[child], heap[child + 1])) ++child;
            if (!less(entry, heap[child])) break;
            heap[hole] = heap[child];
            hole = child;
        }
        heap[hole] = entry;
    };
    auto push = [&](GreedyEntry entry) {
        std::size_t hole = size++;
        while (hole > 0 && less(heap[(hole - 1) / 2], entry)) {
            heap[hole] = heap[(hole - 1) / 2];
            hole = (hole - 1) / 2;
        }
        heap[hole] = entry;
    };
    // Past the work limit it stops between two picks (stopped(): no cover);
    // a greedy over hundreds of thousands of rows is most of a record's work.
    while ((size > 0 || next < count) && uncoveredRows_ > 0 && !pastLimit()) {
        const bool fromHeap = size > 0 && (next == count || less(heap[next], heap[0]));
        const GreedyEntry top = heap[fromHeap ? 0 : next];
        spent_ += CoverWeights::kGreedy * 16;
        const std::uint64_t now = score(top.col);
        if (!fromHeap) {
            ++next;
            if (now != 0 && now != top.score) {
                push(GreedyEntry{now, top.col});  // stale: into the heap with its score now
                continue;
            }
        } else if (now != 0 && now != top.score) {
            replaceTop(GreedyEntry{now, top.col});  // stale: back in, in one pass down
            continue;
        } else {
            --size;
            if (size > 0) replaceTop(heap[size]);
        }
        if (now != 0) cover(top.col, true);
    }
    heap_.reset();
    return true;
}

// Sorts entries, higher scores first, then lower columns: as one key each
// (the score above the column's complement) sorted by radix when they fit
// 64 bits, as all do but for columns of millions of rows.
void CoverSolver::sortEntries(GreedyEntry* entries, std::size_t count) {
    if (count < 2) return;
    std::uint64_t most = 0;
    std::uint32_t lastCol = 0;
    for (std::size_t i = 0; i < count; ++i) {
        most = std::max(most, entries[i].score);
        lastCol = std::max(lastCol, entries[i].col);
    }
    const int colBits = std::bit_width(lastCol);
    const int bits = colBits + static_cast<int>(std::bit_width(most));
    CountedArray<std::uint64_t> keys(account_);
    if (bits > 64 || !keys.allocate(count)) {
        std::sort(entries, entries + count, [](const GreedyEntry& x, const GreedyEntry& y) {
            return x.score != y.score ? x.score > y.score : x.col < y.col;
        });
        return;
    }
    // Ascending keys of the complements: the order wanted.
    const std::uint64_t all = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    const std::uint32_t colMask = colBits == 0 ? 0 : ~std::uint32_t{0} >> (32 - colBits);
    for (std::size_t i = 0; i < count; ++i) {
        keys[i] = all & ~((entries[i].score << colBits) | (colMask & ~entries[i].col));
    }
    sortKeys(keys.data(), count, bits);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t key = all & ~keys[i];
        entries[i] = GreedyEntry{key >> colBits, colMask & ~static_cast<std::uint32_t>(key)};
    }
}

// Drops chosen columns whose rows all lie in other chosen columns, those
// with fewest rows first (the last candidates among equals first).
bool CoverSolver::irredundant() {
    const std::uint32_t rows = rowCount_;
    const std::uint32_t cols = colCount_;
    if (!scratch_.allocate(rows) || !order_.allocate(cols)) return false;
    std::uint32_t* times = scratch_.data();  // per row: chosen columns holding it
    std::uint32_t* picked = order_.data();
    std::uint32_t n = 0;
    std::uint64_t steps = 0;
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (!selected_[c]) continue;
        picked[n++] = c;
        eachRun(c, [&](std::uint32_t first, std::uint32_t end) {
            for (std::uint32_t r = first; r < end; ++r) ++times[r];
            steps += end - first;
        });
    }
    std::sort(picked, picked + n, [&](std::uint32_t x, std::uint32_t y) {
        return colRows_[x] != colRows_[y] ? colRows_[x] < colRows_[y] : x > y;
    });
    for (std::uint32_t k = 0; k < n; ++k) {
        const std::uint32_t c = picked[k];
        bool redundant = true;
        eachRun(c, [&](std::uint32_t first, std::uint32_t end) {
            for (std::uint32_t r = first; r < end && redundant; ++r) redundant = times[r] >= 2;
        });
        steps += colRows_[c];
        if (!redundant) continue;
        selected_[c] = 0;
        eachRun(c, [&](std::uint32_t first, std::uint32_t end) {
            for (std::uint32_t r = first; r < end; ++r) --times[r];
        });
    }
    spent_ += CoverWeights::kRedundant * 2 * steps;
    return true;
}

}  // namespace qm5
