#pragma once
// Small covers on request (qm5 encode --best): for each colour, as few cubes
// as practical that hold every on position and no off position. The records
// differ from the maker's but decode to the same picture.
//
// Based on: the covering step of two-level minimisation, the prime
// implicant chart of E. J. McCluskey, "Minimization of Boolean functions",
// Bell System Technical Journal 35 (1956) (essential primes first); its
// groups solved by branch and bound (exact_cover.cpp) or by greedy set
// cover (greedy_cover.cpp), each of which names its sources.
//
// CoverSolver picks cubes out of candidate cubes that lie inside a colour's
// non-off set, so that every on position lies in a chosen cube:
// 1. essential candidates (the only candidate holding some on position);
// 2. the on positions left fall into groups that share no candidate (the
//    connected components of the cover table); a group of at most
//    CoverLimits::exactColumns candidates is solved by branch and bound,
//    a larger one by a greedy over the uncovered on positions, each
//    weighted by how few candidates hold it;
// 3. an irredundancy pass drops every chosen cube whose on positions the
//    other chosen cubes hold.
// Don't-care positions never count: covering them gains nothing. The choice
// depends only on the set of candidates and of on positions, never on their
// order, so it is the same for any thread count.
//
// BestCompressor takes as candidates the cubes of the maker's cover (all of
// them primes of the non-off set) and keeps the best subset. The subset
// never has more cubes than that cover, so a --best record is never longer
// than the maker's.

#include <cstdint>
#include <span>

#include "minimiser/memory_account.hpp"
#include "minimiser/picture_compressor.hpp"
#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

struct CoverLimits {
    // Most candidates of a group searched exactly: a row is a 64-bit mask
    // of the group's columns.
    std::uint32_t exactColumns = 64;
    // Work of the search per group, in rows visited (a few nanoseconds
    // each, so about 20 ms); past it the best cover found so far stays.
    std::uint64_t exactWork = std::uint64_t{1} << 22;
    std::uint32_t maxDataLength = kMaxRecordDataLength;  // BestCompressor: longest cube data of a record
    // Candidates with at most this many free digits from the sixth up
    // (2^n words) visit their words in turn rather than by the descent over
    // the word index, which takes about twice as many steps to reach most
    // of them and prunes only ranges without on positions.
    int directDigits = 8;
};

// What a counted step of each part of the solver weighs, in eighths of
// PrimeSearch's unit. Their steps are of unlike sizes: instructions per
// step measured on a flat, a cartoon, a logo and a photo (callgrind) run
// from about 3 (marking a covered run) to about 60 (sorting candidates),
// and by picture about twice either way around the weights below. A count
// that weighed them alike under-counted the records whose work lies in the
// heavy parts (many columns of few rows), so that the palette order search
// overran its budget on them.
struct CoverWeights {
    static constexpr std::uint64_t kPerUnit = 8;
    static constexpr std::uint64_t kSetup = 56;      // sorting, checking and ranking the input
    static constexpr std::uint64_t kRows = 16;       // a row's weight and Fenwick entry
    static constexpr std::uint64_t kGather = 32;     // a word or range visited for a column's positions
    static constexpr std::uint64_t kColumns = 36;    // a column's runs, its key looked up
    static constexpr std::uint64_t kGroup = 18;      // a run or column sorted into groups
    static constexpr std::uint64_t kScore = 12;      // a run scored
    static constexpr std::uint64_t kCover = 4;       // a run marked covered
    static constexpr std::uint64_t kExact = 40;      // a row of the exact search
    static constexpr std::uint64_t kGreedy = 10;     // a pick or an entry of the greedy's queues
    static constexpr std::uint64_t kRedundant = 16;  // a row of a chosen column checked
};

class CoverSolver {
public:
    CoverSolver() = default;
    CoverSolver(const CoverSolver&) = delete;
    CoverSolver& operator=(const CoverSolver&) = delete;

    void setLimits(const CoverLimits& limits) { limits_ = limits; }
    // Every array of a solve is taken from account (none: not counted);
    // they are freed when the solve ends.
    void setAccount(MemoryAccount* account);

    // b: position bits, 1 to 30. onPositions: the colour's on positions,
    // strictly ascending, each below 2^b. candidates: cubes with no bit in
    // both masks, any order, duplicates allowed; the caller vouches that they
    // hold no off position. invalidTable when an argument is out of range or
    // an on position lies in no candidate; outOfMemory when storage cannot
    // be had; recordTooLong as soon as the cubes no cover can do without
    // (those alone holding some on position) pass the limits'
    // maxDataLength. On ok, cubes() is the cover.
    MinimiseStatus solve(int b, std::span<const std::uint32_t> onPositions, std::span<const CubeMasks> candidates);

    // The chosen cubes, ordered by number of fixed digits, then care mask,
    // then one mask.
    std::span<const CubeMasks> cubes() const { return {chosen_.data(), chosenCount_}; }
    // Gives back the cover's storage (cubes() is empty after).
    void releaseCover() {
        chosen_.reset();
        chosenCount_ = 0;
    }

    // Groups of the last solve searched exactly, and those of them whose
    // search reached the work limit (for measurements).
    std::uint64_t exactGroups() const { return exactGroups_; }
    std::uint64_t cutGroups() const { return cutGroups_; }

    // Work of every solve of this object so far, counted in steps
    // (bitmap words, runs, rows, rows searched) weighed by CoverWeights, the
    // same for the same input on any machine.
    std::uint64_t work() const { return spent_; }
    // A solve stops, with no cover and stopped() true, once work() passes
    // the limit (none unless set).
    void limitWork(std::uint64_t limit) { workLimit_ = limit; }
    bool stopped() const { return stopped_; }

private:
    // Sets stopped() once the work passes its limit.
    bool pastLimit() {
        stopped_ = stopped_ || spent_ > workLimit_;
        return stopped_;
    }
    enum class ExactResult { solved, declined, outOfMemory };

    MinimiseStatus build(int b, std::span<const std::uint32_t> on, std::span<const CubeMasks> candidates);
    std::size_t sortCandidates(int b, std::span<const CubeMasks> candidates);
    void sortKeys(std::uint64_t* keys, std::size_t n, int bits);
    MinimiseStatus buildColumns(int b, std::size_t distinct);
    template <class OnWord, class Whole>
    void onRuns(int b, const CubeMasks& cube, const OnWord& word, const Whole& whole);
    [[nodiscard]] bool findShared(int b, std::size_t distinct);
    struct SharedWords;
    template <class OnWord>
    [[nodiscard]] bool sharedWords(int b, const CubeMasks& cube, SharedWords& entry, const OnWord& word);
    [[nodiscard]] bool gather(int b, std::size_t k, std::uint32_t& count, std::uint64_t& key);
    [[nodiscard]] bool firstWithKey(std::uint64_t key);
    [[nodiscard]] bool buildSpanTree(int b);
    template <class F>
    void eachRun(std::uint32_t col, const F& f) const;
    template <class F>
    void eachRunIn(std::uint64_t from, std::uint64_t to, std::uint32_t previous, const F& f) const;
    MinimiseStatus countRows();
    MinimiseStatus choose();
    [[nodiscard]] bool group(std::uint32_t& groups);
    [[nodiscard]] bool solveGroups(std::uint32_t groups);
    void cover(std::uint32_t col, bool scored = false);
    std::uint64_t score(std::uint32_t col);
    std::uint64_t runWeight(std::uint32_t first, std::uint32_t end) const;
    static std::uint64_t runSteps(std::uint32_t first, std::uint32_t end) {
        return end - first <= kShortRun ? end - first : 2 * 32;
    }
    void addWeight(std::uint32_t row, std::uint64_t delta);
    std::uint64_t weightBelow(std::uint32_t row) const;
    ExactResult solveExact(const std::uint32_t* cols, std::uint32_t colCount, std::uint32_t rowCount);
    void search(std::uint64_t* rows, std::uint32_t count, std::uint64_t chosen, std::uint32_t depth);
    [[nodiscard]] bool greedy(const std::uint32_t* cols, std::uint32_t colCount);
    [[nodiscard]] bool irredundant();
    void release();

    CoverLimits limits_;
    MemoryAccount* account_ = nullptr;
    int b_ = 0;
    CountedArray<std::uint64_t> bits_;       // on positions of the current solve
    CountedArray<std::uint64_t> nonEmpty_;   // per word of bits_, a bit: whether it has on positions
    CountedArray<std::uint32_t> rankBase_;   // per word of bits_, and one past: on positions in the words before it
    CountedArray<CubeMasks> candidates_;     // sorted, without duplicates
    CountedArray<std::uint64_t> sortKeys_;
    CountedArray<CubeMasks> chosen_;
    std::size_t chosenCount_ = 0;

    // The cover table: columns are the candidates that hold an on position,
    // rows the on positions (by rank). A column is its rows as runs of
    // consecutive ranks, each two varints (the gap from the run before, the
    // length less one) in runBytes_, so that a cube over a large area of on
    // positions takes a few bytes; nothing lists the columns of a row.
    std::uint32_t rowCount_ = 0;
    std::uint32_t colCount_ = 0;
    CountedArray<std::uint32_t> colCand_;    // column -> candidate
    CountedArray<std::uint64_t> colStart_;   // column -> its runs in runBytes_
    CountedArray<std::uint32_t> colRows_;    // column -> rows it holds
    CountedArray<std::uint64_t> colSlots_;   // the keys of the kept columns (key + 1; 0 free), hashed
    CountedArray<std::uint8_t> runBytes_;
    std::uint64_t runBytesUsed_ = 0;

    // Candidates whose digits above the sixth are those of another's (the
    // same words, other positions in them) share the descent to their
    // words: the first of them keeps its words and steps for the others.
    struct SharedWords {
        std::uint64_t high;      // care << 32 | one, digits from the sixth up
        std::uint64_t first;     // its words in words_, once found
        std::uint64_t steps;     // steps of the descent to them
        std::uint32_t count;     // words
        std::uint32_t users;     // candidates with these digits
    };
    struct Word {
        std::uint32_t w;
        std::uint32_t first;
        std::uint32_t end;
    };
    CountedArray<SharedWords> shared_;
    CountedArray<std::uint32_t> sharedOf_;   // candidate -> its entry in shared_, or none
    CountedArray<Word> words_;
    std::uint64_t wordsUsed_ = 0;
    // One candidate's on positions before its column is built: the words
    // holding some (w, first, end) and the ranges of words it holds whole
    // (w = kWholeRange), ascending.
    static constexpr std::uint32_t kWholeRange = ~std::uint32_t{0};
    CountedArray<Word> pieces_;
    // Per aligned range of 2^j words (level j from 0 up, 2^(b-6-j) ranges
    // a level): the AND of its on positions, high 32 bits, and of their
    // complements, low 32 bits (all ones when it has none). Built when a
    // candidate first holds whole words.
    CountedArray<std::uint64_t> spanTree_;

    // The greedy sums the weights of runs up to this long row by row
    // (reading this many, the rows past the run masked off; weight_ has as
    // many to spare), longer ones by the tree.
    static constexpr std::uint32_t kShortRun = 16;
    // Per row: the greedy's weight (high when few columns hold it: 2^24
    // divided by their count; 0 once covered), also in a Fenwick tree, so
    // that a column's weight is a few sums per run.
    CountedArray<std::uint32_t> weight_;
    CountedArray<std::uint64_t> fenwick_;
    CountedArray<std::uint8_t> covered_;      // per row
    std::uint32_t uncoveredRows_ = 0;         // rows not covered yet
    CountedArray<std::uint32_t> scratch_;     // per row: the one column of a row (essentials), then grouping
    CountedArray<std::uint32_t> uncovered_;   // per row, and one past: uncovered rows before it
    CountedArray<std::uint8_t> selected_;     // per column
    CountedArray<std::uint32_t> live_;        // per column: rows it holds that are not covered
    CountedArray<std::uint64_t> scores_;      // per column: its score when the groups were formed
    // Per column: the bytes of its runs from the first to the last that
    // held uncovered rows when it was last scored (from, to pairs), and the
    // end of the run before them. The rows outside stay covered, so the
    // greedy scores the column again from these alone, counting the steps
    // of all its runs (scoreSteps_) as when it reads them all.
    CountedArray<std::uint64_t> scoreSpan_;
    CountedArray<std::uint32_t> spanPrevious_;
    CountedArray<std::uint64_t> scoreSteps_;
    CountedArray<std::uint32_t> order_;
    CountedArray<std::uint32_t> groupStarts_; // per group: first column, then first row, in order_
    struct GreedyEntry {
        std::uint64_t score;
        std::uint32_t col;
    };
    void sortEntries(GreedyEntry* entries, std::size_t count);
    CountedArray<GreedyEntry> heap_;
    CountedArray<std::uint64_t> rowMasks_;   // exact search: a group's rows as masks of its columns
    CountedArray<std::uint64_t> masks_;      // exact search: the rows left, per depth

    std::uint32_t bestDepth_ = 0;
    std::uint64_t bestChosen_ = 0;
    std::uint64_t work_ = 0;    // rows visited by the exact search of one group
    std::uint64_t spent_ = 0;   // work()
    std::uint64_t workLimit_ = ~std::uint64_t{0};
    bool stopped_ = false;
    std::uint32_t maskRows_ = 0;
    std::uint64_t exactGroups_ = 0;
    std::uint64_t cutGroups_ = 0;
};

// All colours of one picture with the smallest covers CoverSolver finds;
// the same shape as PictureCompressor. Records are the maker's for the
// empty, whole and coverless heads, general records with fewer cubes
// otherwise.
class BestCompressor {
public:
    using Sink = PictureCompressor::Sink;

    // indices: pixelCount palette indices, each below colourCount. sink gets
    // colours 0 .. colourCount - 1 in order on the calling thread and may
    // return false to stop (compress then returns ok). On failure
    // (recordTooLong when a cover still needs more than 65535 data bytes,
    // outOfMemory, invalidTable) the colours before failedColour() have been
    // delivered and no later one. The records do not depend on the thread
    // count.
    MinimiseStatus compress(const std::uint32_t* indices, std::uint64_t pixelCount, std::uint32_t colourCount,
                            const CompressOptions& options, const Sink& sink);
    std::uint32_t failedColour() const { return failedColour_; }

    void setLimits(const CoverLimits& limits) { limits_ = limits; }

private:
    CoverLimits limits_;
    std::uint32_t failedColour_ = 0;
};

// ---------------------------------------------------------------------------

// f(first, end) for each run of column col.
template <class F>
inline void CoverSolver::eachRun(std::uint32_t col, const F& f) const {
    eachRunIn(colStart_[col], colStart_[col + 1], 0,
              [&](std::uint32_t first, std::uint32_t end, std::uint64_t, std::uint64_t) { f(first, end); });
}

// f(first, end, from, to) for each run of a column in runBytes_ from .. to
// - 1 (its bytes: from .. to - 1), where the run before them ends at row
// previous (0: none).
template <class F>
inline void CoverSolver::eachRunIn(std::uint64_t from, std::uint64_t to, std::uint32_t previous, const F& f) const {
    const std::uint8_t* const base = runBytes_.data();
    const std::uint8_t* at = base + from;
    const std::uint8_t* stop = base + to;
    while (at < stop) {
        const std::uint8_t* const start = at;
        std::uint32_t values[2];
        if (((at[0] | at[1]) & 0x80) == 0) {
            // Both of one byte, as most are (a run is two varints: two bytes at least).
            values[0] = at[0];
            values[1] = at[1];
            at += 2;
        } else {
            for (std::uint32_t& value : values) {
                value = 0;
                for (int shift = 0;; shift += 7) {
                    const std::uint8_t byte = *at++;
                    value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
                    if (byte < 0x80) break;
                }
            }
        }
        const std::uint32_t first = previous + values[0];
        previous = first + values[1] + 1;
        f(first, previous, static_cast<std::uint64_t>(start - base), static_cast<std::uint64_t>(at - base));
    }
}

}  // namespace qm5
