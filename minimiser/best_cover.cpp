// CoverSolver's table: the candidates sorted, each one's on positions found
// as runs of ranks by a descent over the words of the on bitmap, repeated
// columns dropped, and per row the count of columns that hold it.
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

// The greedy's weight of a row held by `columns` columns; at least 1, so
// that a column weighs something exactly while it holds an uncovered row.
std::uint32_t weightOf(std::uint32_t columns) {
    return std::max<std::uint32_t>(1, (std::uint32_t{1} << 24) / columns);
}

// Varints of 7 bits a byte, low bits first.
std::uint8_t* putVarint(std::uint8_t* out, std::uint32_t value) {
    while (value >= 0x80) {
        *out++ = static_cast<std::uint8_t>(value | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<std::uint8_t>(value);
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------

void CoverSolver::setAccount(MemoryAccount* account) {
    account_ = account;
    for (auto* array : {&bits_, &sortKeys_, &fenwick_, &colStart_, &rowMasks_, &masks_}) array->setAccount(account);
    for (auto* array : {&rankBase_, &colCand_, &colRows_, &colSlots_, &weight_, &scratch_, &uncovered_, &live_,
                        &order_, &groupStarts_}) {
        array->setAccount(account);
    }
    for (auto* array : {&runBytes_, &covered_, &selected_}) array->setAccount(account);
    candidates_.setAccount(account);
    chosen_.setAccount(account);
    heap_.setAccount(account);
}

// Frees every array of a solve but the cover, so that what a solve takes
// from the account depends on its own input alone.
void CoverSolver::release() {
    for (auto* array : {&bits_, &sortKeys_, &fenwick_, &colStart_, &rowMasks_, &masks_}) array->reset();
    for (auto* array : {&rankBase_, &colCand_, &colRows_, &colSlots_, &weight_, &scratch_, &uncovered_, &live_,
                        &order_, &groupStarts_}) {
        array->reset();
    }
    for (auto* array : {&runBytes_, &covered_, &selected_}) array->reset();
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
    spent_ += onPositions.size() + 4 * candidates.size() + bitmap::wordsFor(b) / 4;
    MinimiseStatus status = build(b, onPositions, candidates);
    if (status == MinimiseStatus::ok && !pastLimit()) status = choose();
    release();
    return status;
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
    const MinimiseStatus columns = buildColumns(b, distinct);
    if (columns != MinimiseStatus::ok || stopped_) return columns;
    bits_.reset();
    rankBase_.reset();
    return countRows();
}

// emit(first, end) for the ranks of the on positions in cube, ascending, as
// runs of consecutive ranks (two runs may touch). A descent over the word
// index from its top bit, each range of words being a range of ranks: an
// empty one ends there, and one whose words the cube holds whole is one run.
// (Over 60 lines: the descent and the step within a word share the cube's
// masks and the count of steps, kept in registers as the hottest loop of
// the table.)
template <class Emit>
void CoverSolver::onRuns(int b, const CubeMasks& cube, const Emit& emit) {
    const std::uint64_t* bits = bits_.data();
    const std::uint32_t* base = rankBase_.data();
    const std::uint32_t care = cube.zero | cube.one;
    const bitmap::CubeWords cubeWords(b, care, cube.one);
    const std::uint64_t pattern = cubeWords.pattern();
    std::uint64_t steps = 0;
    // Word w, whose on positions have the ranks first .. end - 1.
    auto inWord = [&](std::uint32_t w, std::uint32_t first, std::uint32_t end) {
        const std::uint64_t hits = bits[w] & pattern;
        if (hits == bits[w]) {
            if (hits != 0) emit(first, end);
            return;
        }
        for (std::uint64_t rest = hits; rest != 0; rest &= rest - 1) {
            const std::uint64_t lowest = rest & (0 - rest);
            const auto rank = first + static_cast<std::uint32_t>(bitmap::ones(bits[w] & (lowest - 1)));
            emit(rank, rank + 1);
            ++steps;
        }
    };
    if (b <= 6) {
        inWord(0, base[0], base[1]);
        spent_ += steps;
        return;
    }
    const std::uint32_t highCare = care >> 6;
    const std::uint32_t highOne = cube.one >> 6;
    const bool wholeWords = pattern == ~std::uint64_t{0};
    // Words w .. w + 2^j - 1, whose index bits from j up the cube decides,
    // with the ranks first .. end - 1 of their on positions: the range at
    // hand, and on a stack the upper halves still to visit, the lowest on
    // top (one per level at most). A range without on positions counts as
    // visited and goes no further; the halves of a range share the rank at
    // their border, so a split reads one rank.
    struct Range {
        int j;
        std::uint32_t w;
        std::uint32_t first;
        std::uint32_t end;
    };
    Range stack[kMaxPositionBits];
    int top = 0;
    Range at{b - 6, 0, base[0], base[std::uint32_t{1} << (b - 6)]};
    bool more = at.first != at.end;
    steps += more ? 0 : 1;
    while (more) {
        ++steps;
        const std::uint32_t below = (std::uint32_t{1} << at.j) - 1;
        bool down = false;
        if (at.j == 0) {
            inWord(at.w, at.first, at.end);
        } else if (wholeWords && (highCare & below) == 0) {
            emit(at.first, at.end);
        } else if ((highCare & (std::uint32_t{1} << (at.j - 1))) != 0) {
            // Fixed digits down to the next free one: one range, no branch.
            const int to = static_cast<int>(std::bit_width(~highCare & below));
            const std::uint32_t from = at.w | (highOne & below & ~((std::uint32_t{1} << to) - 1));
            at = Range{to, from, base[from], base[from + (std::uint32_t{1} << to)]};
            down = at.first != at.end;
            steps += down ? 0 : 1;
        } else {
            // A free digit: both halves, the lower one first.
            const std::uint32_t bit = std::uint32_t{1} << (at.j - 1);
            const std::uint32_t middle = base[at.w | bit];
            if (middle != at.end) {
                stack[top++] = Range{at.j - 1, at.w | bit, middle, at.end};
            } else {
                ++steps;
            }
            at = Range{at.j - 1, at.w, at.first, middle};
            down = at.first != at.end;
            steps += down ? 0 : 1;
        }
        if (!down) {
            more = top > 0;
            if (more) at = stack[--top];
        }
    }
    spent_ += steps;
}

// Columns: the candidates holding an on position, each with its runs;
// columns holding the same rows as an earlier one are dropped (a cover
// needs one of them at most, and the earlier is the one the choice would
// take), found through a hash table of the kept columns (2^n slots for at
// most 2^(n-1) columns).
MinimiseStatus CoverSolver::buildColumns(int b, std::size_t distinct) {
    std::uint64_t slots = 64;
    while (slots < 2 * std::uint64_t{distinct}) slots *= 2;
    if (!colCand_.allocate(distinct) || !colRows_.allocate(distinct) || !colStart_.allocate(distinct + 1) ||
        !colSlots_.allocate(slots)) {
        return MinimiseStatus::outOfMemory;
    }
    // One candidate's runs, merged, in order_ (first, end pairs).
    colCount_ = 0;
    runBytesUsed_ = 0;
    for (std::size_t k = 0; k < distinct && !stopped_; ++k) {
        stopped_ = spent_ > workLimit_;
        std::uint32_t count = 0;
        bool grown = true;
        onRuns(b, candidates_[k], [&](std::uint32_t first, std::uint32_t end) {
            if (count > 0 && order_[2 * count - 1] == first) {
                order_[2 * count - 1] = end;
                return;
            }
            grown = grown && order_.grow(2 * std::uint64_t{count} + 2);
            if (!grown) return;
            order_[2 * count] = first;
            order_[2 * count + 1] = end;
            ++count;
        });
        if (!grown) return MinimiseStatus::outOfMemory;
        if (count == 0) continue;
        bool kept = false;
        if (!appendColumn(static_cast<std::uint32_t>(k), order_.data(), count, slots, kept)) {
            return MinimiseStatus::outOfMemory;
        }
    }
    colStart_[colCount_] = runBytesUsed_;
    colSlots_.reset();
    order_.reset();
    return MinimiseStatus::ok;
}

// Appends column colCount_ with the given runs unless an earlier column
// holds the same rows; kept tells which. False when storage ran out.
bool CoverSolver::appendColumn(std::uint32_t candidate, const std::uint32_t* runs, std::uint32_t runCount,
                               std::uint64_t slots, bool& kept) {
    const std::uint32_t col = colCount_;
    // Two varints of at most 5 bytes per run.
    if (!runBytes_.grow(runBytesUsed_ + 10 * std::uint64_t{runCount})) return false;
    const std::uint64_t start = runBytesUsed_;
    std::uint8_t* out = runBytes_.data() + start;
    std::uint32_t previous = 0;
    std::uint32_t rows = 0;
    std::uint64_t hash = runCount;
    for (std::uint32_t i = 0; i < runCount; ++i) {
        const std::uint32_t first = runs[2 * i];
        const std::uint32_t end = runs[2 * i + 1];
        out = putVarint(putVarint(out, first - previous), end - first - 1);
        previous = end;
        rows += end - first;
        hash = (hash ^ first ^ (std::uint64_t{end} << 32)) * 0x9E3779B97F4A7C15ull;
    }
    const auto length = static_cast<std::uint64_t>(out - (runBytes_.data() + start));
    spent_ += 2 * runCount;
    kept = false;
    for (std::uint64_t s = (hash ^ (hash >> 29)) & (slots - 1);; s = (s + 1) & (slots - 1)) {
        const std::uint32_t other = colSlots_[s];
        if (other == 0) {
            colSlots_[s] = col + 1;
            break;
        }
        const std::uint64_t otherStart = colStart_[other - 1];
        const std::uint64_t otherEnd = other == col ? start : colStart_[other];
        if (otherEnd - otherStart == length &&
            std::equal(runBytes_.data() + start, runBytes_.data() + start + length, runBytes_.data() + otherStart)) {
            return true;
        }
    }
    kept = true;
    colStart_[col] = start;
    colStart_[col + 1] = start + length;
    colCand_[col] = candidate;
    colRows_[col] = rows;
    runBytesUsed_ = start + length;
    colCount_ = col + 1;
    return true;
}

// Per row: how many columns hold it (its weight) and, for a row held by
// one, that column (scratch_); the Fenwick tree of the weights.
MinimiseStatus CoverSolver::countRows() {
    const std::uint32_t rows = rowCount_;
    if (!weight_.allocate(std::uint64_t{rows} + 1) || !scratch_.allocate(std::uint64_t{rows} + 1) ||
        !fenwick_.allocate(std::uint64_t{rows} + 1) || !covered_.allocate(rows)) {
        return MinimiseStatus::outOfMemory;
    }
    // Differences per run: count + 1 and column XOR at its first row, back at its end.
    std::uint32_t* count = weight_.data();
    std::uint32_t* single = scratch_.data();
    for (std::uint32_t c = 0; c < colCount_; ++c) {
        eachRun(c, [&](std::uint32_t first, std::uint32_t end) {
            ++count[first];
            --count[end];
            single[first] ^= c;
            single[end] ^= c;
        });
    }
    spent_ += 2 * runBytesUsed_ + 4 * std::uint64_t{rows};
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
