#include "minimiser/best_cover.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "minimiser/fast_engine.hpp"

namespace qm5 {

namespace {

// Grows a to at least n elements; the contents are not kept.
template <class T>
bool ensure(HeapArray<T>& a, std::uint64_t n) {
    return a.size() >= n || a.allocate(n);
}

// Candidates and written cubes: fewer fixed digits first, then care mask,
// then one mask.
bool cubeBefore(const CubeMasks& x, const CubeMasks& y) {
    const std::uint32_t cx = x.zero | x.one;
    const std::uint32_t cy = y.zero | y.one;
    const int fx = std::popcount(cx);
    const int fy = std::popcount(cy);
    if (fx != fy) return fx < fy;
    if (cx != cy) return cx < cy;
    return x.one < y.one;
}

// Bit j of kBitOf[i] is bit i of j: the positions 0 .. 63 of a bitmap word.
constexpr std::array<std::uint64_t, 6> kBitOf = {0xAAAAAAAAAAAAAAAAull, 0xCCCCCCCCCCCCCCCCull, 0xF0F0F0F0F0F0F0F0ull,
                                                 0xFF00FF00FF00FF00ull, 0xFFFF0000FFFF0000ull, 0xFFFFFFFF00000000ull};

// The positions j of one word that match the cube's six low digits.
std::uint64_t lowPattern(std::uint32_t care, std::uint32_t one) {
    std::uint64_t pattern = ~std::uint64_t{0};
    for (unsigned i = 0; i < 6; ++i) {
        if ((care >> i) & 1u) pattern &= ((one >> i) & 1u) ? kBitOf[i] : ~kBitOf[i];
    }
    return pattern;
}

// f(word, pattern) for every bitmap word that holds positions of the cube, in
// ascending order of word; pattern marks the cube's positions in it. For
// b < 6 the pattern may mark bits past 2^b, which the bitmap keeps at 0.
template <class F>
void forEachWord(int b, const CubeMasks& cube, const F& f) {
    const std::uint32_t care = cube.zero | cube.one;
    if (b <= 6) {
        f(std::uint32_t{0}, lowPattern(care, cube.one));
        return;
    }
    const std::uint64_t pattern = lowPattern(care & 0x3Fu, cube.one & 0x3Fu);
    const std::uint32_t base = cube.one >> 6;
    const std::uint32_t highFree = ~(care >> 6) & (fast::lowBits(b) >> 6);
    std::uint32_t s = 0;
    do {
        f(base | s, pattern);
        s = (s - highFree) & highFree;
    } while (s != 0);
}

constexpr std::uint32_t kNone = ~std::uint32_t{0};

std::uint32_t findRoot(std::uint32_t* parent, std::uint32_t x) {
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

// Exact search stays with groups whose rows, after removing duplicates and
// rows that hold another row's columns, fit this.
constexpr std::uint32_t kExactRows = 4096;

}  // namespace

// ---------------------------------------------------------------------------

MinimiseStatus CoverSolver::solve(int b, std::span<const std::uint32_t> onPositions,
                                  std::span<const CubeMasks> candidates) {
    chosenCount_ = 0;
    exactGroups_ = 0;
    cutGroups_ = 0;
    if (b < 1 || b > kMaxPositionBits) return MinimiseStatus::invalidTable;
    if (onPositions.empty()) return MinimiseStatus::ok;
    const MinimiseStatus built = build(b, onPositions, candidates);
    if (built != MinimiseStatus::ok) return built;
    return choose();
}

MinimiseStatus CoverSolver::build(int b, std::span<const std::uint32_t> on, std::span<const CubeMasks> candidates) {
    const std::uint32_t all = fast::lowBits(b);
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
    const std::uint64_t words = b <= 6 ? 1 : std::uint64_t{1} << (b - 6);
    if (!ensure(bits_, words) || !ensure(candidates_, candidates.size())) return MinimiseStatus::outOfMemory;
    std::copy(candidates.begin(), candidates.end(), candidates_.data());
    std::sort(candidates_.data(), candidates_.data() + candidates.size(), cubeBefore);
    const std::size_t distinct =
        static_cast<std::size_t>(std::unique(candidates_.data(), candidates_.data() + candidates.size()) - candidates_.data());

    std::uint64_t* bits = bits_.data();
    for (const std::uint32_t p : on) bits[p >> 6] |= std::uint64_t{1} << (p & 63);
    // bits_ is all 0 between solves.
    auto clearBits = [&] {
        for (const std::uint32_t p : on) bits[p >> 6] = 0;
    };

    // Columns: the candidates holding an on position.
    std::uint64_t incidences = 0;
    std::uint32_t cols = 0;
    for (std::size_t k = 0; k < distinct; ++k) {
        std::uint64_t n = 0;
        forEachWord(b, candidates_[k], [&](std::uint32_t w, std::uint64_t pattern) {
            n += static_cast<std::uint64_t>(std::popcount(bits[w] & pattern));
        });
        if (n > 0) ++cols;
        incidences += n;
    }
    rowCount_ = static_cast<std::uint32_t>(on.size());
    colCount_ = cols;
    if (!ensure(colCand_, cols) || !ensure(colStart_, std::uint64_t{cols} + 1) || !ensure(colRows_, incidences) ||
        !ensure(rowStart_, std::uint64_t{rowCount_} + 1) || !ensure(rowCols_, incidences)) {
        clearBits();
        return MinimiseStatus::outOfMemory;
    }
    std::uint32_t col = 0;
    std::uint64_t at = 0;
    for (std::size_t k = 0; k < distinct; ++k) {
        const std::uint64_t start = at;
        // Positions come in ascending order: each rank is searched from the last.
        const std::uint32_t* cursor = on.data();
        const std::uint32_t* end = on.data() + on.size();
        forEachWord(b, candidates_[k], [&](std::uint32_t w, std::uint64_t pattern) {
            std::uint64_t hits = bits[w] & pattern;
            while (hits != 0) {
                const std::uint32_t p = (w << 6) | static_cast<std::uint32_t>(std::countr_zero(hits));
                hits &= hits - 1;
                cursor = std::lower_bound(cursor, end, p);
                colRows_[at++] = static_cast<std::uint32_t>(cursor - on.data());
            }
        });
        if (at > start) {
            colCand_[col] = static_cast<std::uint32_t>(k);
            colStart_[col] = start;
            ++col;
        }
    }
    colStart_[cols] = at;
    clearBits();

    std::fill(rowStart_.data(), rowStart_.data() + rowCount_ + 1, std::uint64_t{0});
    for (std::uint64_t i = 0; i < incidences; ++i) ++rowStart_[colRows_[i] + 1];
    for (std::uint32_t r = 0; r < rowCount_; ++r) {
        if (rowStart_[r + 1] == 0) return MinimiseStatus::invalidTable;  // an on position no candidate holds
        rowStart_[r + 1] += rowStart_[r];
    }
    // Fill each row's columns in ascending order; rowStart_ is restored after.
    for (std::uint32_t c = 0; c < cols; ++c) {
        for (std::uint64_t i = colStart_[c]; i < colStart_[c + 1]; ++i) rowCols_[rowStart_[colRows_[i]]++] = c;
    }
    for (std::uint32_t r = rowCount_; r > 0; --r) rowStart_[r] = rowStart_[r - 1];
    rowStart_[0] = 0;
    return MinimiseStatus::ok;
}

void CoverSolver::cover(std::uint32_t col) {
    selected_[col] = 1;
    for (std::uint64_t i = colStart_[col]; i < colStart_[col + 1]; ++i) {
        const std::uint32_t r = colRows_[i];
        if (covered_[r]) continue;
        covered_[r] = 1;
        const std::uint64_t weight = rowWeight(r);
        for (std::uint64_t j = rowStart_[r]; j < rowStart_[r + 1]; ++j) {
            --live_[rowCols_[j]];
            score_[rowCols_[j]] -= weight;
        }
    }
}

MinimiseStatus CoverSolver::choose() {
    const std::uint32_t rows = rowCount_;
    const std::uint32_t cols = colCount_;
    // scratch_: parent per row, then group per root; order_: columns and
    // rows by group, then the columns for the greedy.
    if (!ensure(covered_, rows) || !ensure(selected_, cols) || !ensure(live_, cols) || !ensure(score_, cols) ||
        !ensure(scratch_, 2 * std::uint64_t{rows} + 2) || !ensure(order_, std::uint64_t{cols} + rows + 2) ||
        !ensure(heap_, cols) || !ensure(chosen_, cols)) {
        return MinimiseStatus::outOfMemory;
    }
    std::fill(covered_.data(), covered_.data() + rows, std::uint8_t{0});
    std::fill(selected_.data(), selected_.data() + cols, std::uint8_t{0});
    for (std::uint32_t c = 0; c < cols; ++c) {
        live_[c] = static_cast<std::uint32_t>(colStart_[c + 1] - colStart_[c]);
        std::uint64_t sum = 0;
        for (std::uint64_t i = colStart_[c]; i < colStart_[c + 1]; ++i) sum += rowWeight(colRows_[i]);
        score_[c] = sum;
    }

    // 1. Essentials.
    for (std::uint32_t r = 0; r < rows; ++r) {
        if (rowStart_[r + 1] - rowStart_[r] == 1 && !covered_[r]) cover(rowCols_[rowStart_[r]]);
    }

    // 2. Groups of the uncovered rows: rows sharing a live column are joined.
    std::uint32_t* parent = scratch_.data();
    std::uint32_t* groupOf = scratch_.data() + rows;
    for (std::uint32_t r = 0; r < rows; ++r) parent[r] = r;
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (selected_[c] || live_[c] < 2) continue;
        std::uint32_t first = kNone;
        for (std::uint64_t i = colStart_[c]; i < colStart_[c + 1]; ++i) {
            const std::uint32_t r = colRows_[i];
            if (covered_[r]) continue;
            if (first == kNone) {
                first = findRoot(parent, r);
            } else {
                const std::uint32_t other = findRoot(parent, r);
                if (other != first) parent[other] = first;
            }
        }
    }
    // Groups numbered by their lowest row; members listed in ascending order.
    std::uint32_t groups = 0;
    for (std::uint32_t r = 0; r < rows; ++r) groupOf[r] = kNone;
    for (std::uint32_t r = 0; r < rows; ++r) {
        if (covered_[r]) continue;
        const std::uint32_t root = findRoot(parent, r);
        if (groupOf[root] == kNone) groupOf[root] = groups++;
    }
    // Columns and rows of each group, as offset lists in order_ (columns
    // first, each list ascending).
    HeapArray<std::uint32_t> starts;
    if (!starts.allocate(2 * (std::uint64_t{groups} + 1))) return MinimiseStatus::outOfMemory;
    std::uint32_t* colStartOf = starts.data();
    std::uint32_t* rowStartOf = starts.data() + groups + 1;
    auto groupOfRow = [&](std::uint32_t r) { return groupOf[findRoot(parent, r)]; };
    auto firstLiveRow = [&](std::uint32_t c) {
        for (std::uint64_t i = colStart_[c]; i < colStart_[c + 1]; ++i) {
            if (!covered_[colRows_[i]]) return colRows_[i];
        }
        return kNone;
    };
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (!selected_[c] && live_[c] > 0) ++colStartOf[groupOfRow(firstLiveRow(c)) + 1];
    }
    for (std::uint32_t r = 0; r < rows; ++r) {
        if (!covered_[r]) ++rowStartOf[groupOfRow(r) + 1];
    }
    for (std::uint32_t g = 0; g < groups; ++g) {
        colStartOf[g + 1] += colStartOf[g];
        rowStartOf[g + 1] += rowStartOf[g];
    }
    const std::uint32_t liveCols = colStartOf[groups];
    std::uint32_t* groupCols = order_.data();
    std::uint32_t* groupRows = order_.data() + liveCols;
    {
        HeapArray<std::uint32_t> fill;
        if (!fill.allocate(2 * std::uint64_t{groups})) return MinimiseStatus::outOfMemory;
        std::copy(colStartOf, colStartOf + groups, fill.data());
        std::copy(rowStartOf, rowStartOf + groups, fill.data() + groups);
        for (std::uint32_t c = 0; c < cols; ++c) {
            if (!selected_[c] && live_[c] > 0) groupCols[fill[groupOfRow(firstLiveRow(c))]++] = c;
        }
        for (std::uint32_t r = 0; r < rows; ++r) {
            if (!covered_[r]) groupRows[fill[groups + groupOfRow(r)]++] = r;
        }
    }

    // 3. Small groups exactly, the others by the greedy. Groups share no
    // column, so the order in which they are solved does not matter.
    const std::uint32_t exactLimit = std::min<std::uint32_t>(limits_.exactColumns, 64);
    std::uint32_t greedyCount = 0;
    for (std::uint32_t g = 0; g < groups; ++g) {
        const std::uint32_t* gc = groupCols + colStartOf[g];
        const std::uint32_t nc = colStartOf[g + 1] - colStartOf[g];
        const std::uint32_t* gr = groupRows + rowStartOf[g];
        const std::uint32_t nr = rowStartOf[g + 1] - rowStartOf[g];
        ExactResult exact = ExactResult::declined;
        if (nc <= exactLimit) {
            exact = solveExact(gc, nc, gr, nr);
            if (exact == ExactResult::outOfMemory) return MinimiseStatus::outOfMemory;
        }
        if (exact == ExactResult::declined) {
            // Gathered at the front of order_: nothing of a later group is overwritten.
            for (std::uint32_t k = 0; k < nc; ++k) groupCols[greedyCount++] = gc[k];
        }
    }
    greedy(groupCols, greedyCount);

    // 4. Irredundancy, then the cover in candidate order.
    irredundant();
    chosenCount_ = 0;
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (selected_[c]) chosen_[chosenCount_++] = candidates_[colCand_[c]];
    }
    return MinimiseStatus::ok;
}

CoverSolver::ExactResult CoverSolver::solveExact(const std::uint32_t* cols, std::uint32_t colCount,
                                                 const std::uint32_t* rows, std::uint32_t rowCount) {
    // The group's rows as masks of its columns (bit k = cols[k]). Every
    // column of an uncovered row is live and in this group.
    if (!ensure(rowMasks_, rowCount)) return ExactResult::outOfMemory;
    std::uint64_t* masks = rowMasks_.data();
    for (std::uint32_t i = 0; i < rowCount; ++i) {
        const std::uint32_t r = rows[i];
        std::uint64_t mask = 0;
        for (std::uint64_t j = rowStart_[r]; j < rowStart_[r + 1]; ++j) {
            const std::uint32_t* at = std::lower_bound(cols, cols + colCount, rowCols_[j]);
            mask |= std::uint64_t{1} << (at - cols);
        }
        masks[i] = mask;
    }
    // A row holding all columns of another row is covered with it: keep the
    // minimal rows, fewest columns first (which also helps the bound).
    std::sort(masks, masks + rowCount, [](std::uint64_t x, std::uint64_t y) {
        const int px = std::popcount(x);
        const int py = std::popcount(y);
        return px != py ? px < py : x < y;
    });
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < rowCount; ++i) {
        bool dominated = false;
        for (std::uint32_t k = 0; k < kept && !dominated; ++k) dominated = (masks[k] & ~masks[i]) == 0;
        if (!dominated) masks[kept++] = masks[i];
        if (kept > kExactRows) return ExactResult::declined;
    }
    maskRows_ = kept;
    if (!ensure(masks_, (std::uint64_t{colCount} + 2) * kept)) return ExactResult::outOfMemory;
    std::copy(masks, masks + kept, masks_.data());

    // First bound: the greedy on the masks.
    std::uint64_t chosen = 0;
    std::uint32_t picked = 0;
    {
        std::uint64_t* left = masks_.data() + kept;
        std::copy(masks_.data(), masks_.data() + kept, left);
        std::uint32_t n = kept;
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
    }
    bestDepth_ = picked;
    bestChosen_ = chosen;
    work_ = 0;
    search(masks_.data(), kept, 0, 0);
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
        const int n = std::popcount(rows[i]);
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

// ---------------------------------------------------------------------------

MinimiseStatus BestCompressor::compress(const std::uint32_t* indices, std::uint64_t pixelCount,
                                        std::uint32_t colourCount, const CompressOptions& options, const Sink& sink) {
    failedColour_ = 0;
    if (indices == nullptr && pixelCount > 0) return MinimiseStatus::invalidTable;
    const int b = positionBitCount(pixelCount);
    if (b > kMaxPositionBits) return MinimiseStatus::outOfMemory;
    // The positions of each colour, ascending, colour by colour.
    HeapArray<std::uint64_t> start;
    HeapArray<std::uint32_t> positions;
    if (!start.allocate(std::uint64_t{colourCount} + 1) || !positions.allocate(pixelCount)) {
        return MinimiseStatus::outOfMemory;
    }
    for (std::uint64_t p = 0; p < pixelCount; ++p) {
        if (indices[p] >= colourCount) return MinimiseStatus::invalidTable;
        ++start[indices[p] + 1];
    }
    for (std::uint32_t c = 0; c < colourCount; ++c) start[c + 1] += start[c];
    {
        HeapArray<std::uint64_t> fill;
        if (!fill.allocate(colourCount)) return MinimiseStatus::outOfMemory;
        std::copy(start.data(), start.data() + colourCount, fill.data());
        for (std::uint64_t p = 0; p < pixelCount; ++p) positions[fill[indices[p]]++] = static_cast<std::uint32_t>(p);
    }

    // The maker's cover may pass 65535 data bytes where the smaller one
    // does not; it has at most 2^b cubes (each holds a position that no
    // earlier one does).
    PictureCompressor maker;
    maker.setMaxDataLength(static_cast<std::int64_t>(
        std::max<std::uint64_t>(limits_.maxDataLength, cubeDataLength(std::uint64_t{1} << b, b))));

    CoverSolver solver;
    solver.setLimits(limits_);
    HeapArray<CubeMasks> candidates;
    HeapArray<std::uint8_t> record;
    MinimiseStatus failure = MinimiseStatus::ok;
    const Sink smaller = [&](std::uint32_t c, std::span<const std::uint8_t> makers) {
        const RecordHead head = RecordHead::from(makers);
        const std::span<const std::uint8_t> data = makers.subspan(kRecordHeadSize);
        if (!head.isGeneral() || data.empty()) return sink(c, makers);
        // The data length is read from the record's size: the head keeps
        // only 16 bits of it. Zero cubes are the padding of small b.
        const std::uint64_t count = cubeCountOf(data.size(), b);
        if (!ensure(candidates, count)) {
            failure = MinimiseStatus::outOfMemory;
        } else {
            std::size_t n = 0;
            for (std::uint64_t k = 0; k < count; ++k) {
                const CubeMasks cube = readCube(data, b, k);
                if ((cube.zero | cube.one) != 0) candidates[n++] = cube;
            }
            const std::span<const std::uint32_t> on(positions.data() + start[c],
                                                    static_cast<std::size_t>(start[c + 1] - start[c]));
            failure = solver.solve(b, on, {candidates.data(), n});
        }
        if (failure == MinimiseStatus::ok && cubeDataLength(solver.cubes().size(), b) > limits_.maxDataLength) {
            failure = MinimiseStatus::recordTooLong;
        }
        if (failure == MinimiseStatus::ok && !fast::encodeRecord(solver.cubes(), b, record)) {
            failure = MinimiseStatus::outOfMemory;
        }
        if (failure != MinimiseStatus::ok) {
            failedColour_ = c;
            return false;
        }
        return sink(c, record.span());
    };
    const MinimiseStatus status = maker.compress(indices, pixelCount, colourCount, options, smaller);
    if (failure != MinimiseStatus::ok) return failure;
    if (status != MinimiseStatus::ok) failedColour_ = maker.failedColour();
    return status;
}

}  // namespace qm5
