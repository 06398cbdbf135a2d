#include "minimiser/best_cover.hpp"

#include <algorithm>
#include <array>
#include <bit>

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

constexpr std::uint32_t kNone = ~std::uint32_t{0};

// Rows of a cover table whose per-row arrays stay in a core's cache.
constexpr std::uint32_t kCachedRows = std::uint32_t{1} << 16;

std::uint32_t findRoot(std::uint32_t* parent, std::uint32_t x) {
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

}  // namespace

// ---------------------------------------------------------------------------

MinimiseStatus CoverSolver::solve(int b, std::span<const std::uint32_t> onPositions,
                                  std::span<const CubeMasks> candidates) {
    chosenCount_ = 0;
    stopped_ = false;
    exactGroups_ = 0;
    cutGroups_ = 0;
    if (b < 1 || b > kMaxPositionBits) return MinimiseStatus::invalidTable;
    if (onPositions.empty()) return MinimiseStatus::ok;
    // Sorting, checking and ranking; the table and the searches count their own.
    spent_ += onPositions.size() + 4 * candidates.size() + bitmap::wordsFor(b);
    const MinimiseStatus built = build(b, onPositions, candidates);
    if (built != MinimiseStatus::ok || stopped_) return built;
    return choose();
}

// Sorts the candidates into candidates_ (cubeBefore order, duplicates
// dropped); the count kept. Up to b = 29 through one 64-bit key per cube.
std::size_t CoverSolver::sortCandidates(int b, std::span<const CubeMasks> candidates) {
    CubeMasks* out = candidates_.data();
    if (b > 29 || !sortKeys_.makeRoom(candidates.size())) {
        std::copy(candidates.begin(), candidates.end(), out);
        std::sort(out, out + candidates.size(), cubeBefore);
        return static_cast<std::size_t>(std::unique(out, out + candidates.size()) - out);
    }
    std::uint64_t* keys = sortKeys_.data();
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const std::uint64_t care = candidates[i].zero | candidates[i].one;
        keys[i] = (static_cast<std::uint64_t>(bitmap::ones(care)) << 58) | (care << 29) | candidates[i].one;
    }
    std::sort(keys, keys + candidates.size());
    const auto distinct = static_cast<std::size_t>(std::unique(keys, keys + candidates.size()) - keys);
    const std::uint64_t mask = (std::uint64_t{1} << 29) - 1;
    for (std::size_t i = 0; i < distinct; ++i) {
        const auto care = static_cast<std::uint32_t>((keys[i] >> 29) & mask);
        const auto one = static_cast<std::uint32_t>(keys[i] & mask);
        out[i] = CubeMasks{care & ~one, one};
    }
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
    const std::uint64_t words = bitmap::wordsFor(b);
    if (!bits_.makeRoom(words) || !candidates_.makeRoom(candidates.size())) return MinimiseStatus::outOfMemory;
    const std::size_t distinct = sortCandidates(b, candidates);

    std::uint64_t* bits = bits_.data();
    for (const std::uint32_t p : on) bitmap::set(bits, p);
    const MinimiseStatus columns = buildColumns(b, static_cast<std::uint32_t>(on.size()), distinct);
    // bits_ is all 0 between solves.
    for (const std::uint32_t p : on) bits[p >> 6] = 0;
    if (columns != MinimiseStatus::ok) return columns;
    // The rows and the choice visit the table's entries a few times each; a
    // table of many rows does so out of cache (rows by column, columns by
    // row), measured at about four times the cost per entry.
    spent_ += (rowCount_ > kCachedRows ? 16 : 4) * colStart_[colCount_];
    stopped_ = stopped_ || spent_ > workLimit_;
    if (stopped_) return MinimiseStatus::ok;
    return buildRows();
}

// Columns: the candidates holding an on position, each with its rows.
// Longer than most: ranking the on positions, gathering each candidate's
// rows and dropping repeated columns are one pass over the candidates, the
// solver's costliest, which walks each candidate's words once.
MinimiseStatus CoverSolver::buildColumns(int b, std::uint32_t rows, std::size_t distinct) {
    const std::uint64_t* bits = bits_.data();
    // The rank of an on position: the on positions of the words before its
    // word, then those below it in its word.
    const std::size_t words = bitmap::wordsFor(b);
    if (!rankBase_.makeRoom(words) || !colCand_.makeRoom(distinct) ||
        !colStart_.makeRoom(std::uint64_t{distinct} + 1)) {
        return MinimiseStatus::outOfMemory;
    }
    // And the words that hold on positions, ascending.
    if (!onWords_.makeRoom(std::min<std::uint64_t>(words, rows))) return MinimiseStatus::outOfMemory;
    std::uint32_t below = 0;
    std::uint32_t onWords = 0;
    for (std::size_t w = 0; w < words; ++w) {
        rankBase_[w] = below;
        below += static_cast<std::uint32_t>(bitmap::ones(bits[w]));
        if (bits[w] != 0) onWords_[onWords++] = static_cast<std::uint32_t>(w);
    }
    // Columns that hold the same rows as an earlier one are dropped: a
    // cover needs one of them at most, and the earlier is the one the
    // choice below would take. They are found through a hash table of
    // the kept columns (2^n slots for at most 2^(n-1) columns).
    std::uint64_t slots = 64;
    while (slots < 2 * std::uint64_t{distinct}) slots *= 2;
    if (!colSlots_.makeRoom(slots)) return MinimiseStatus::outOfMemory;
    std::fill(colSlots_.data(), colSlots_.data() + slots, 0u);
    // One pass; colRows_ grows by half again when full.
    std::uint32_t col = 0;
    std::uint64_t at = 0;
    bool grown = true;
    for (std::size_t k = 0; k < distinct && grown && !stopped_; ++k) {
        stopped_ = spent_ > workLimit_;
        const std::uint64_t start = at;
        const CubeMasks& cube = candidates_[k];
        const bitmap::CubeWords cubeWords(b, cube.zero | cube.one, cube.one);
        auto visit = [&](std::uint32_t w) {
            ++spent_;
            std::uint64_t rest = bits[w];
            const std::uint64_t pattern = cubeWords.pattern();
            if ((rest & pattern) == 0) return true;
            if (colRows_.size() < at + 64) {
                grown = grown && colRows_.resize(std::max<std::uint64_t>(at + 64 + at / 2, std::uint64_t{1} << 16));
                if (!grown) return false;
            }
            for (std::uint32_t rank = rankBase_[w]; rest != 0; ++rank) {
                const std::uint64_t lowest = rest & (0 - rest);
                if ((pattern & lowest) != 0) colRows_[at++] = rank;
                rest ^= lowest;
            }
            return true;
        };
        // A large cube among few on positions: only the words that hold some.
        if (cubeWords.wordCount() > onWords) {
            for (std::uint32_t i = 0; i < onWords && grown; ++i) {
                if (cubeWords.holds(onWords_[i])) visit(onWords_[i]);
            }
            spent_ += onWords;
        } else {
            cubeWords.each([&](std::uint32_t w, std::uint64_t) { return visit(w); });
        }
        if (at > start) {
            colStart_[col] = start;
            if (keepColumn(col, at, slots)) {
                colCand_[col] = static_cast<std::uint32_t>(k);
                ++col;
            } else {
                at = start;
            }
        }
    }
    colStart_[col] = at;
    rowCount_ = rows;
    colCount_ = col;
    if (!grown || !rowStart_.makeRoom(std::uint64_t{rows} + 1) || !rowCols_.makeRoom(at)) {
        return MinimiseStatus::outOfMemory;
    }
    return MinimiseStatus::ok;
}

// Whether column col, whose rows run from colStart_[col] to end, holds other
// rows than every column before it; if so it goes into the table.
bool CoverSolver::keepColumn(std::uint32_t col, std::uint64_t end, std::uint64_t slots) {
    const std::uint32_t* rows = colRows_.data() + colStart_[col];
    const std::uint64_t length = end - colStart_[col];
    std::uint64_t hash = length;
    for (std::uint64_t i = 0; i < length; ++i) hash = (hash ^ rows[i]) * 0x9E3779B97F4A7C15ull;
    spent_ += length;
    for (std::uint64_t s = (hash ^ (hash >> 29)) & (slots - 1);; s = (s + 1) & (slots - 1)) {
        const std::uint32_t other = colSlots_[s];
        if (other == 0) {
            colSlots_[s] = col + 1;
            return true;
        }
        const std::uint64_t otherStart = colStart_[other - 1];
        if (colStart_[other] - otherStart == length &&
            std::equal(rows, rows + length, colRows_.data() + otherStart)) {
            return false;
        }
    }
}

// Rows: the columns of each on position, ascending.
MinimiseStatus CoverSolver::buildRows() {
    const std::uint32_t cols = colCount_;
    const std::uint64_t incidences = colStart_[cols];
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
    if (!covered_.makeRoom(rows) || !selected_.makeRoom(cols) || !live_.makeRoom(cols) || !score_.makeRoom(cols) ||
        !scratch_.makeRoom(2 * std::uint64_t{rows} + 2) || !order_.makeRoom(std::uint64_t{cols} + rows + 2) ||
        !heap_.makeRoom(cols) || !chosen_.makeRoom(cols)) {
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
    // 2. Groups of the rows left, 3. each solved.
    std::uint32_t groups = 0;
    if (!group(groups)) return MinimiseStatus::outOfMemory;
    if (!solveGroups(groups)) return MinimiseStatus::outOfMemory;

    // 4. Irredundancy, then the cover in candidate order.
    irredundant();
    chosenCount_ = 0;
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (selected_[c]) chosen_[chosenCount_++] = candidates_[colCand_[c]];
    }
    return MinimiseStatus::ok;
}

// Joins the uncovered rows that share a live column (union-find in
// scratch_), numbers the groups by their lowest row and lists each group's
// live columns and rows in order_ (columns first, each list ascending),
// with their offsets in groupStarts_. (Slightly over 60 lines: the three
// steps share the union-find's arrays.)
bool CoverSolver::group(std::uint32_t& groups) {
    const std::uint32_t rows = rowCount_;
    const std::uint32_t cols = colCount_;
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
    groups = 0;
    for (std::uint32_t r = 0; r < rows; ++r) groupOf[r] = kNone;
    for (std::uint32_t r = 0; r < rows; ++r) {
        if (covered_[r]) continue;
        const std::uint32_t root = findRoot(parent, r);
        if (groupOf[root] == kNone) groupOf[root] = groups++;
    }
    if (!groupStarts_.allocate(2 * (std::uint64_t{groups} + 1))) return false;
    std::uint32_t* colStartOf = groupStarts_.data();
    std::uint32_t* rowStartOf = groupStarts_.data() + groups + 1;
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
    std::uint32_t* groupCols = order_.data();
    std::uint32_t* groupRows = order_.data() + colStartOf[groups];
    HeapArray<std::uint32_t> fill;
    if (!fill.allocate(2 * std::uint64_t{groups})) return false;
    std::copy(colStartOf, colStartOf + groups, fill.data());
    std::copy(rowStartOf, rowStartOf + groups, fill.data() + groups);
    for (std::uint32_t c = 0; c < cols; ++c) {
        if (!selected_[c] && live_[c] > 0) groupCols[fill[groupOfRow(firstLiveRow(c))]++] = c;
    }
    for (std::uint32_t r = 0; r < rows; ++r) {
        if (!covered_[r]) groupRows[fill[groups + groupOfRow(r)]++] = r;
    }
    return true;
}

// Small groups exactly, the others by the greedy. Groups share no column,
// so the order in which they are solved does not matter.
bool CoverSolver::solveGroups(std::uint32_t groups) {
    const std::uint32_t* colStartOf = groupStarts_.data();
    const std::uint32_t* rowStartOf = groupStarts_.data() + groups + 1;
    std::uint32_t* groupCols = order_.data();
    const std::uint32_t* groupRows = order_.data() + colStartOf[groups];
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
            if (exact == ExactResult::outOfMemory) return false;
        }
        if (exact == ExactResult::declined) {
            // Gathered at the front of order_: nothing of a later group is overwritten.
            for (std::uint32_t k = 0; k < nc; ++k) groupCols[greedyCount++] = gc[k];
        }
    }
    greedy(groupCols, greedyCount);
    return true;
}

}  // namespace qm5
