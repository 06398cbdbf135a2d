// CoverSolver's columns: each candidate's on positions found as runs of
// ranks by a descent over the words of the on bitmap, stored as varints,
// repeated columns dropped before their runs are built. (Over 400 lines:
// the ways to a candidate's words and the keys of its column are one step
// of the table, sharing its arrays.)
#include <algorithm>
#include <array>
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
// have the ranks first .. end - 1) inside pattern, a run of ranks at a
// time: the hits up to the next on position outside the pattern; returns
// the steps (one per hit).
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
        for (std::uint64_t rest = hits; rest != 0;) {
            const int from = std::countr_zero(rest);
            const int length = std::countr_one(rest >> from);
            const auto rank = first + static_cast<std::uint32_t>(from);
            emit(rank, rank + static_cast<std::uint32_t>(length));
            steps += static_cast<std::uint64_t>(length);
            rest = length + from == 64 ? 0 : rest & (~std::uint64_t{0} << (from + length));
        }
        return steps;
    }
    const std::uint64_t gaps = bits & ~pattern;
    for (std::uint64_t rest = hits; rest != 0;) {
        const std::uint64_t lowest = rest & (0 - rest);
        const std::uint64_t above = gaps & (0 - lowest);
        const std::uint64_t run = rest & ((above & (0 - above)) - 1);
        const auto rank = first + static_cast<std::uint32_t>(bitmap::ones(bits & (lowest - 1)));
        const auto length = static_cast<std::uint32_t>(bitmap::ones(run));
        emit(rank, rank + length);
        steps += length;
        rest &= ~run;
    }
    return steps;
}

constexpr std::uint32_t kNoShare = ~std::uint32_t{0};

// A column's runs as they come, ascending: a run that starts where the one
// before ends extends it; the others go to bytes from used on, each two
// varints (the gap from the run before, the length less one). At the first
// row of each run it leaves count + 1 and the column XOR in count and
// single, back at its end (countRows).
class RunWriter {
public:
    RunWriter(CountedArray<std::uint8_t>& bytes, std::uint64_t used, std::uint32_t col, std::uint32_t* count,
              std::uint32_t* single)
        : bytes_(bytes), used_(used), room_(bytes.size()), col_(col), count_(count), single_(single) {}

    void add(std::uint32_t first, std::uint32_t end) {
        if (open_ && end_ == first) {
            end_ = end;
            return;
        }
        flush();
        first_ = first;
        end_ = end;
        open_ = true;
    }
    // False when storage ran out.
    [[nodiscard]] bool finish() {
        flush();
        return grown_;
    }
    std::uint64_t used() const { return used_; }
    std::uint32_t rows() const { return rows_; }
    std::uint32_t count() const { return runs_; }

private:
    void flush() {
        if (!open_) return;
        // Two varints of at most 5 bytes.
        if (used_ + 10 > room_) {
            grown_ = grown_ && bytes_.grow(used_ + 10);
            if (!grown_) return;
            room_ = bytes_.size();
        }
        ++count_[first_];
        --count_[end_];
        single_[first_] ^= col_;
        single_[end_] ^= col_;
        std::uint8_t* const at = bytes_.data() + used_;
        const std::uint8_t* const out = putVarint(putVarint(at, first_ - previous_), end_ - first_ - 1);
        used_ += static_cast<std::uint64_t>(out - at);
        previous_ = end_;
        rows_ += end_ - first_;
        ++runs_;
    }

    CountedArray<std::uint8_t>& bytes_;
    std::uint64_t used_;
    std::uint64_t room_;  // bytes_.size(), as of the last growth
    std::uint32_t col_;
    std::uint32_t* count_;
    std::uint32_t* single_;
    std::uint32_t first_ = 0;
    std::uint32_t end_ = 0;
    std::uint32_t previous_ = 0;
    std::uint32_t rows_ = 0;
    std::uint32_t runs_ = 0;
    bool open_ = false;
    bool grown_ = true;
};

}  // namespace

// The on positions in cube, ascending, by a descent over the word index
// from its top bit, each range of words being a range of ranks: an empty
// one ends there, the aligned range of 2^j words from w whose words the
// cube holds whole, with on positions of the ranks first .. end - 1, goes
// to whole(j, w, first, end), and a single word w with on positions of the
// ranks first .. end - 1 to word(w, first, end), which returns its steps;
// a cube of few words visits them in turn instead.
// (Over 60 lines: the descent and the step within a word share the cube's
// masks and the count of steps, kept in registers as the hottest loop of
// the table.)
template <class OnWord, class Whole>
void CoverSolver::onRuns(int b, const CubeMasks& cube, const OnWord& word, const Whole& whole) {
    const std::uint32_t* base = rankBase_.data();
    const std::uint32_t care = cube.zero | cube.one;
    const std::uint64_t pattern = bitmap::CubeWords(b, care, cube.one).pattern();
    std::uint64_t steps = 0;
    if (b <= 6) {
        spent_ += CoverWeights::kGather * word(0, base[0], base[1]);
        return;
    }
    const std::uint32_t highCare = care >> 6;
    const std::uint32_t highOne = cube.one >> 6;
    const std::uint32_t highFree = ~highCare & (bitmap::lowBits(b) >> 6);
    if (bitmap::ones(highFree) <= limits_.directDigits) {
        // Few words: those with on positions in turn, found 64 at a time in
        // nonEmpty_ as the positions of a word are, costs less than the descent.
        const std::uint64_t* nonEmpty = nonEmpty_.data();
        bitmap::CubeWords(b - 6, highCare, highOne).each([&](std::uint32_t at, std::uint64_t wordPattern) {
            ++steps;
            for (std::uint64_t rest = nonEmpty[at] & wordPattern; rest != 0; rest &= rest - 1) {
                const std::uint32_t w = (at << 6) | static_cast<std::uint32_t>(std::countr_zero(rest));
                steps += word(w, base[w], base[w + 1]) + 1;
            }
            return true;
        });
        spent_ += CoverWeights::kGather * steps;
        return;
    }
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
            whole(at.j, at.w, at.first, at.end);
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
    spent_ += CoverWeights::kGather * steps;
}

// Columns: the candidates holding an on position, each with its runs;
// columns holding the same rows as an earlier one are dropped (a cover
// needs one of them at most, and the earlier is the one the choice would
// take). They are found before their runs are built, through the smallest
// cube around a candidate's on positions: a candidate holds that cube, so
// its on positions are the cube's, and two candidates hold the same on
// positions exactly when their cubes are the same (a hash table of the
// kept columns' cubes, 2^n slots for at most 2^(n-1) columns); half of a
// photo's candidates repeat a column. Candidates of many words that have
// the digits from the sixth up of another (the same words, other positions
// in them) share the descent to those words (findShared).
MinimiseStatus CoverSolver::buildColumns(int b, std::size_t distinct) {
    std::uint64_t slots = 64;
    while (slots < 2 * std::uint64_t{distinct}) slots *= 2;
    if (!colCand_.allocate(distinct) || !colRows_.allocate(distinct) || !colStart_.allocate(distinct + 1) ||
        !colSlots_.allocate(slots)) {
        return MinimiseStatus::outOfMemory;
    }
    if (!findShared(b, distinct)) return MinimiseStatus::outOfMemory;
    const std::uint64_t* bits = bits_.data();
    colCount_ = 0;
    runBytesUsed_ = 0;
    wordsUsed_ = 0;
    for (std::size_t k = 0; k < distinct && !stopped_; ++k) {
        stopped_ = spent_ > workLimit_;
        std::uint32_t pieces = 0;
        std::uint64_t key = 0;
        if (!gather(b, k, pieces, key)) return MinimiseStatus::outOfMemory;
        if (pieces == 0 || !firstWithKey(key)) continue;
        // Its runs, merged where they touch, written as they come.
        const std::uint32_t col = colCount_;
        RunWriter runs(runBytes_, runBytesUsed_, col, weight_.data(), scratch_.data());
        auto emit = [&](std::uint32_t first, std::uint32_t end) { runs.add(first, end); };
        const CubeMasks& cube = candidates_[k];
        const std::uint64_t pattern = bitmap::CubeWords(b, cube.zero | cube.one, cube.one).pattern();
        std::uint64_t steps = 0;
        for (const Word& piece : std::span<const Word>(pieces_.data(), pieces)) {
            if (piece.w == kWholeRange) {
                emit(piece.first, piece.end);
            } else {
                steps += wordRuns(bits[piece.w], piece.first, piece.end, pattern, emit);
            }
        }
        if (!runs.finish()) return MinimiseStatus::outOfMemory;
        spent_ += CoverWeights::kColumns * (steps + 2 * std::uint64_t{runs.count()});
        colStart_[col] = runBytesUsed_;
        colCand_[col] = static_cast<std::uint32_t>(k);
        colRows_[col] = runs.rows();
        runBytesUsed_ = runs.used();
        colCount_ = col + 1;
    }
    colStart_[colCount_] = runBytesUsed_;
    for (auto* array : {&colSlots_, &spanTree_}) array->reset();
    shared_.reset();
    sharedOf_.reset();
    words_.reset();
    pieces_.reset();
    return MinimiseStatus::ok;
}

namespace {

// Per 8-bit mask m (not 0), the AND of the indices 0 .. 7 of its bits, low
// three bits, and of their complements, the three above: the digits 0-2 of
// a word's positions from the OR of its bytes, 3-5 from which bytes hold any.
constexpr std::array<std::uint8_t, 256> kByteAnd = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned one = 7;
        unsigned zero = 7;
        for (unsigned i = 0; i < 8; ++i) {
            if ((m >> i) & 1u) {
                one &= i;
                zero &= ~i & 7u;
            }
        }
        t[m] = static_cast<std::uint8_t>(one | (zero << 3));
    }
    return t;
}();

// The AND of the positions w * 64 + i, for the bits i of hits (not 0), high
// 32 bits, and of their complements, low 32 bits; wOne and wZero: the ANDs
// of the word indices and of their complements, when hits is the OR of
// the bits of several words (all: b bits).
std::uint64_t positionAnd(std::uint64_t hits, std::uint32_t wOne, std::uint32_t wZero, std::uint32_t all) {
    std::uint64_t any = hits | (hits >> 32);
    any |= any >> 16;
    any |= any >> 8;
    // Bit 8j + 7 set when byte j holds a bit, gathered into bit j of the top byte.
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    const std::uint64_t held = (((hits & kLow7) + kLow7) | hits) & ~kLow7;
    const auto bytes = static_cast<unsigned>(((held >> 7) * 0x0102040810204080ull) >> 56);
    const unsigned low = kByteAnd[any & 0xFF];
    const unsigned high = kByteAnd[bytes];
    const std::uint32_t one = (wOne << 6) | ((high & 7u) << 3) | (low & 7u);
    const std::uint32_t zero = (wZero << 6) | ((high >> 3) << 3) | (low >> 3);
    return (std::uint64_t{one & all} << 32) | (zero & all);
}

}  // namespace

// pieces_: candidate k's on positions as pieces (count of them); key: the
// smallest cube around them, the AND of the positions and that of their
// complements (positionAnd). False when storage ran out.
bool CoverSolver::gather(int b, std::size_t k, std::uint32_t& count, std::uint64_t& key) {
    const CubeMasks& cube = candidates_[k];
    const std::uint64_t pattern = bitmap::CubeWords(b, cube.zero | cube.one, cube.one).pattern();
    const std::uint64_t* bits = bits_.data();
    const std::uint32_t all = bitmap::lowBits(b);
    bool grown = true;
    // Of the single words: the OR of their hits, the ANDs of their indices
    // and of the complements; of the whole ranges: the AND of their nodes.
    std::uint64_t low = 0;
    std::uint32_t wOne = ~std::uint32_t{0};
    std::uint32_t wZero = ~std::uint32_t{0};
    key = ~std::uint64_t{0};
    count = 0;
    std::uint64_t room = pieces_.size();
    auto add = [&](std::uint32_t w, std::uint32_t first, std::uint32_t end) {
        if (count == room) {
            grown = grown && pieces_.grow(std::uint64_t{count} + 1);
            if (!grown) return;
            room = pieces_.size();
        }
        pieces_[count++] = Word{w, first, end};
    };
    auto word = [&](std::uint32_t w, std::uint32_t first, std::uint32_t end) {
        const std::uint64_t hits = bits[w] & pattern;
        if (hits == 0) return std::uint64_t{0};
        add(w, first, end);
        low |= hits;
        wOne &= w;
        wZero &= ~w;
        return std::uint64_t{1};
    };
    if (sharedOf_[k] == kNoShare) {
        onRuns(b, cube, word, [&](int j, std::uint32_t w, std::uint32_t first, std::uint32_t end) {
            grown = grown && (!spanTree_.empty() || buildSpanTree(b));
            if (!grown) return;
            const std::uint64_t words = bitmap::wordsFor(b);
            add(kWholeRange, first, end);
            key &= spanTree_[2 * words - ((2 * words) >> j) + (w >> j)];
            spent_ += CoverWeights::kGather;
        });
    } else {
        grown = sharedWords(b, cube, shared_[sharedOf_[k]], word) && grown;
    }
    if (low != 0) key &= positionAnd(low, wOne, wZero, all);
    return grown;
}

// True, and key kept, when no kept column has it.
bool CoverSolver::firstWithKey(std::uint64_t key) {
    const std::uint64_t slots = colSlots_.size();
    const std::uint64_t hash = key * 0x9E3779B97F4A7C15ull;
    spent_ += CoverWeights::kColumns;
    for (std::uint64_t s = (hash ^ (hash >> 29)) & (slots - 1);; s = (s + 1) & (slots - 1)) {
        if (colSlots_[s] == 0) {
            colSlots_[s] = key + 1;
            return true;
        }
        if (colSlots_[s] == key + 1) return false;
    }
}

// spanTree_ from the on bitmap; false when storage ran out.
bool CoverSolver::buildSpanTree(int b) {
    const std::uint64_t words = bitmap::wordsFor(b);
    if (!spanTree_.allocate(2 * words)) return false;
    const std::uint64_t* bits = bits_.data();
    const std::uint32_t all = bitmap::lowBits(b);
    std::uint64_t* level = spanTree_.data();
    for (std::uint64_t w = 0; w < words; ++w) {
        const auto index = static_cast<std::uint32_t>(w);
        level[w] = bits[w] == 0 ? ~std::uint64_t{0} : positionAnd(bits[w], index, ~index, all);
    }
    for (std::uint64_t n = words; n > 1; n /= 2) {
        for (std::uint64_t i = 0; i < n / 2; ++i) level[n + i] = level[2 * i] & level[2 * i + 1];
        level += n;
    }
    spent_ += CoverWeights::kGather * 2 * words;
    return true;
}

// word(w, first, end) as from onRuns for a cube that shares its words
// (entry): the descent to them once, for the first such cube, and its
// steps counted for each. False when storage ran out.
template <class OnWord>
bool CoverSolver::sharedWords(int b, const CubeMasks& cube, SharedWords& entry, const OnWord& word) {
    if (entry.first == ~std::uint64_t{0}) {
        const std::uint64_t before = spent_;
        bool grown = true;
        entry.first = wordsUsed_;
        // No whole words: the cube fixes some of a word's digits.
        onRuns(b, cube, [&](std::uint32_t w, std::uint32_t first, std::uint32_t end) {
            grown = grown && words_.grow(wordsUsed_ + 1);
            if (grown) words_[wordsUsed_++] = Word{w, first, end};
            return std::uint64_t{0};
        }, [](int, std::uint32_t, std::uint32_t, std::uint32_t) {});
        if (!grown) return false;
        entry.count = static_cast<std::uint32_t>(wordsUsed_ - entry.first);
        entry.steps = spent_ - before;
    } else {
        spent_ += entry.steps;
    }
    std::uint64_t steps = 0;
    for (const Word& at : std::span<const Word>(words_.data() + entry.first, entry.count)) {
        steps += word(at.w, at.first, at.end);
    }
    spent_ += CoverWeights::kGather * steps;
    return true;
}

// sharedOf_: per candidate of more than six digits, some of them low, and
// of words too many to visit in turn, the entry in shared_ of its digits
// from the sixth up when another candidate has the same; none otherwise.
// Through colSlots_ (2^n slots for at most 2^(n-1) candidates, all 0), left
// all 0 again.
bool CoverSolver::findShared(int b, std::size_t distinct) {
    if (!sharedOf_.allocate(distinct)) return false;
    std::fill(sharedOf_.begin(), sharedOf_.end(), kNoShare);
    if (b <= 6) return true;
    const std::uint64_t slots = colSlots_.size();
    std::uint32_t entries = 0;
    for (std::size_t k = 0; k < distinct; ++k) {
        const std::uint32_t care = candidates_[k].zero | candidates_[k].one;
        if ((care & 0x3Fu) == 0) continue;  // all of a word's positions: no word to share
        // Few words: visited in turn, as fast as from a list.
        if (bitmap::ones(~care & (bitmap::lowBits(b) >> 6 << 6)) <= limits_.directDigits) continue;
        const std::uint64_t high = (std::uint64_t{care >> 6} << 32) | (candidates_[k].one >> 6);
        std::uint64_t s = ((high * 0x9E3779B97F4A7C15ull) >> 32) & (slots - 1);
        for (;; s = (s + 1) & (slots - 1)) {
            const std::uint64_t at = colSlots_[s];
            if (at == 0) {
                if (!shared_.grow(std::uint64_t{entries} + 1)) return false;
                shared_[entries] = SharedWords{high, ~std::uint64_t{0}, 0, 0, 0};
                colSlots_[s] = ++entries;
                break;
            }
            if (shared_[at - 1].high == high) break;
        }
        const auto entry = static_cast<std::uint32_t>(colSlots_[s] - 1);
        ++shared_[entry].users;
        sharedOf_[k] = entry;
    }
    for (std::size_t k = 0; k < distinct; ++k) {
        if (sharedOf_[k] != kNoShare && shared_[sharedOf_[k]].users == 1) sharedOf_[k] = kNoShare;
    }
    // The slots taken, each found again from the start of its probe (the
    // others stay 0), so that the columns find the table empty.
    for (std::uint32_t e = 0; e < entries; ++e) {
        std::uint64_t s = ((shared_[e].high * 0x9E3779B97F4A7C15ull) >> 32) & (slots - 1);
        while (colSlots_[s] != std::uint64_t{e} + 1) s = (s + 1) & (slots - 1);
        colSlots_[s] = 0;
    }
    return true;
}

}  // namespace qm5
