// CoverSolver's columns: each candidate's on positions found as runs of
// ranks by a descent over the words of the on bitmap, stored as varints,
// repeated columns dropped.
#include <algorithm>
#include <bit>

#include "minimiser/best_cover.hpp"
#include "minimiser/bitmap.hpp"

namespace qm5 {

namespace {

// Varints of 7 bits a byte, low bits first.
std::uint8_t* putVarint(std::uint8_t* out, std::uint32_t value) {
    while (value >= 0x80) {
        *out++ = static_cast<std::uint8_t>(value | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<std::uint8_t>(value);
    return out;
}

// emit(first, end) for the on positions of bits (a word whose on positions
// have the ranks first .. end - 1) inside pattern; returns the steps.
template <class Emit>
std::uint64_t wordRuns(std::uint64_t bits, std::uint32_t first, std::uint32_t end, std::uint64_t pattern,
                       const Emit& emit) {
    const std::uint64_t hits = bits & pattern;
    if (hits == bits) {
        if (hits != 0) emit(first, end);
        return 0;
    }
    std::uint64_t steps = 0;
    if (bits == ~std::uint64_t{0}) {
        // Every position on, as in much of a flat picture: a rank is its bit.
        for (std::uint64_t rest = hits; rest != 0; rest &= rest - 1) {
            const auto rank = first + static_cast<std::uint32_t>(std::countr_zero(rest));
            emit(rank, rank + 1);
            ++steps;
        }
        return steps;
    }
    for (std::uint64_t rest = hits; rest != 0; rest &= rest - 1) {
        const std::uint64_t lowest = rest & (0 - rest);
        const auto rank = first + static_cast<std::uint32_t>(bitmap::ones(bits & (lowest - 1)));
        emit(rank, rank + 1);
        ++steps;
    }
    return steps;
}

constexpr std::uint32_t kNoShare = ~std::uint32_t{0};

}  // namespace

// emit(first, end) for the ranks of the on positions in cube, ascending, as
// runs of consecutive ranks (two runs may touch). A descent over the word
// index from its top bit, each range of words being a range of ranks: an
// empty one ends there, one whose words the cube holds whole is one run,
// and a single word w with on positions of the ranks first .. end - 1 goes
// to word(w, first, end), which emits the cube's and returns its steps.
// (Over 60 lines: the descent and the step within a word share the cube's
// masks and the count of steps, kept in registers as the hottest loop of
// the table.)
template <class OnWord, class Emit>
void CoverSolver::onRuns(int b, const CubeMasks& cube, const OnWord& word, const Emit& emit) {
    const std::uint32_t* base = rankBase_.data();
    const std::uint32_t care = cube.zero | cube.one;
    const std::uint64_t pattern = bitmap::CubeWords(b, care, cube.one).pattern();
    std::uint64_t steps = 0;
    if (b <= 6) {
        spent_ += word(0, base[0], base[1]);
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
            steps += word(at.w, at.first, at.end);
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
// most 2^(n-1) columns). Half of a photo's candidates have the digits from
// the sixth up of another (the same words, other positions in them): the
// descent to those words is made once for them all (findShared).
MinimiseStatus CoverSolver::buildColumns(int b, std::size_t distinct) {
    std::uint64_t slots = 64;
    while (slots < 2 * std::uint64_t{distinct}) slots *= 2;
    if (!colCand_.allocate(distinct) || !colRows_.allocate(distinct) || !colStart_.allocate(distinct + 1) ||
        !colSlots_.allocate(slots)) {
        return MinimiseStatus::outOfMemory;
    }
    if (!findShared(b, distinct)) return MinimiseStatus::outOfMemory;
    std::fill(colSlots_.begin(), colSlots_.end(), 0u);
    const std::uint64_t* bits = bits_.data();
    // One candidate's runs, merged, in order_ (first, end pairs).
    colCount_ = 0;
    runBytesUsed_ = 0;
    wordsUsed_ = 0;
    for (std::size_t k = 0; k < distinct && !stopped_; ++k) {
        stopped_ = spent_ > workLimit_;
        std::uint32_t count = 0;
        bool grown = true;
        auto emit = [&](std::uint32_t first, std::uint32_t end) {
            if (count > 0 && order_[2 * count - 1] == first) {
                order_[2 * count - 1] = end;
                return;
            }
            grown = grown && order_.grow(2 * std::uint64_t{count} + 2);
            if (!grown) return;
            order_[2 * count] = first;
            order_[2 * count + 1] = end;
            ++count;
        };
        const CubeMasks& cube = candidates_[k];
        const std::uint64_t pattern = bitmap::CubeWords(b, cube.zero | cube.one, cube.one).pattern();
        if (sharedOf_[k] == kNoShare) {
            onRuns(b, cube, [&](std::uint32_t w, std::uint32_t first, std::uint32_t end) {
                return wordRuns(bits[w], first, end, pattern, emit);
            }, emit);
        } else {
            grown = sharedRuns(b, cube, shared_[sharedOf_[k]], emit) && grown;
        }
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
    shared_.reset();
    sharedOf_.reset();
    words_.reset();
    return MinimiseStatus::ok;
}

// emit as onRuns for a cube that shares its words (entry): the descent to
// them once, for the first such cube, and its steps counted for each.
// False when storage ran out.
template <class Emit>
bool CoverSolver::sharedRuns(int b, const CubeMasks& cube, SharedWords& entry, const Emit& emit) {
    if (entry.first == ~std::uint64_t{0}) {
        const std::uint64_t before = spent_;
        bool grown = true;
        entry.first = wordsUsed_;
        onRuns(b, cube, [&](std::uint32_t w, std::uint32_t first, std::uint32_t end) {
            grown = grown && words_.grow(wordsUsed_ + 1);
            if (grown) words_[wordsUsed_++] = Word{w, first, end};
            return std::uint64_t{0};
        }, emit);
        if (!grown) return false;
        entry.count = static_cast<std::uint32_t>(wordsUsed_ - entry.first);
        entry.steps = spent_ - before;
    } else {
        spent_ += entry.steps;
    }
    const std::uint64_t* bits = bits_.data();
    const std::uint64_t pattern = bitmap::CubeWords(b, cube.zero | cube.one, cube.one).pattern();
    std::uint64_t steps = 0;
    for (const Word& word : std::span<const Word>(words_.data() + entry.first, entry.count)) {
        steps += wordRuns(bits[word.w], word.first, word.end, pattern, emit);
    }
    spent_ += steps;
    return true;
}

// sharedOf_: per candidate of more than six digits, some of them low, the
// entry in shared_ of its digits from the sixth up when another candidate
// has the same; none otherwise. Through colSlots_ (2^n slots for at most
// 2^(n-1) candidates), left dirty.
bool CoverSolver::findShared(int b, std::size_t distinct) {
    if (!sharedOf_.allocate(distinct)) return false;
    std::fill(sharedOf_.begin(), sharedOf_.end(), kNoShare);
    if (b <= 6) return true;
    const std::uint64_t slots = colSlots_.size();
    std::uint32_t entries = 0;
    for (std::size_t k = 0; k < distinct; ++k) {
        const std::uint32_t care = candidates_[k].zero | candidates_[k].one;
        if ((care & 0x3Fu) == 0) continue;  // all of a word's positions: no word to share
        const std::uint64_t high = (std::uint64_t{care >> 6} << 32) | (candidates_[k].one >> 6);
        std::uint64_t s = ((high * 0x9E3779B97F4A7C15ull) >> 32) & (slots - 1);
        for (;; s = (s + 1) & (slots - 1)) {
            const std::uint32_t at = colSlots_[s];
            if (at == 0) {
                if (!shared_.grow(std::uint64_t{entries} + 1)) return false;
                shared_[entries] = SharedWords{high, ~std::uint64_t{0}, 0, 0, 0};
                colSlots_[s] = ++entries;
                break;
            }
            if (shared_[at - 1].high == high) break;
        }
        const std::uint32_t entry = colSlots_[s] - 1;
        ++shared_[entry].users;
        sharedOf_[k] = entry;
    }
    for (std::size_t k = 0; k < distinct; ++k) {
        if (sharedOf_[k] != kNoShare && shared_[sharedOf_[k]].users == 1) sharedOf_[k] = kNoShare;
    }
    return true;
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

}  // namespace qm5
