#pragma once
// The primes of one colour found top-down, without a table over the 3^b
// cubes: the work follows the primes, not 3^b.
//
// Based on: the expansion of a Boolean function on one variable (C. E.
// Shannon, "The synthesis of two-terminal switching circuits", Bell System
// Technical Journal 28, 1949), taken recursively to find prime implicants
// as in the unate recursive paradigm of R. K. Brayton, G. D. Hachtel,
// C. T. McMullen, A. L. Sangiovanni-Vincentelli, "Logic Minimization
// Algorithms for VLSI Synthesis", Kluwer, 1984: the primes of S are those of
// S0 AND S1 with the split digit free and those of each half that the
// other half does not hold.
//
// The primes of a set S over k bits that meet every set of a list H: split
// S on its top bit into halves S0 and S1 (positions with that bit 0 and 1)
// and let T = S0 AND S1.
// - A cube with the top digit free lies in S exactly when its lower digits
//   give a cube of T; it is a prime of S exactly when that cube is a prime
//   of T (the top digit cannot widen further), and it meets H exactly when
//   the cube meets H0 OR H1, or, as it lies in T, (H0 OR H1) AND T.
// - A cube with the top digit 0 lies in S when its cube lies in S0. It is a
//   prime of S when it is a prime of S0 and freeing the top digit leaves S,
//   that is when it is not inside S1: when it meets S0 AND NOT S1. So: the
//   primes of S0 meeting each H0 and also S0 - S1; none when S0 lies in S1.
// - Top digit 1: the mirror.
// Every prime falls in exactly one branch (by its top digit), so each comes
// out once. A branch stops as soon as a set of its list is empty; a full S
// is one cube, every digit free (it meets every set of the list, each being
// non-empty and inside S). Every set of the list lies inside S, so one equal
// to S says nothing and is dropped. The search starts with S = the colour's
// non-off set and H = [its on positions]: out come exactly the primes that
// hold an on position, the only ones the greedy cover can write.
//
// Sets are bitmaps (bitmap.hpp); the halves of a set over k > 6 bits are the
// two halves of its words, so S0, S1, H0 and H1 are never copied; from
// k = 6 down a set is one word and the halves are shifts.

#include <algorithm>
#include <bit>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/heap_array.hpp"
#include "minimiser/bitmap.hpp"
#include "minimiser/memory_account.hpp"

namespace qm5::fast {

// Progress of one search: a share of kSearchShare units for the whole
// search, split in three at each of the top levels, added as the branches
// finish or are cut off.
inline constexpr std::uint32_t kSearchShare = 6561;  // 3^8

// What a prime costs after the search finds it (its key, its place in the
// sort, its visit by the cover), in the search's units of about a
// nanosecond: fitted to the benchmark pictures, where a word visited took
// 1 ns and a prime 300 ns more, within 25 % on every picture.
inline constexpr std::uint64_t kPrimeCost = 300;

class PrimeSearch {
public:
    using Word = std::uint64_t;
    // The longest list: one set at the start, one more per fixed digit.
    static constexpr int kMaxList = 32;

    // Storage for searches over b position bits (with dominance: room for
    // the sets of setSpans' dominance test); false when it cannot be had.
    static std::uint64_t bytesFor(int b, bool dominance = false);
    [[nodiscard]] bool prepare(int b, bool dominance = false);
    // The frames are taken from account (none: not counted); release gives them back.
    void setAccount(MemoryAccount* account) {
        arena_.setAccount(account);
        b_ = -1;
    }
    void release() {
        arena_.reset();
        b_ = -1;
    }

    // Calls take(care, one) once for each prime of nonOff that holds a
    // position of on (on inside nonOff, both over 2^b positions). done, when
    // given, receives kSearchShare units in all as the search goes.
    template <class Take>
    void run(const Word* nonOff, const Word* on, const Take& take, std::atomic<std::uint64_t>* done = nullptr);

    // Cost of every search of this object so far: words visited (at least
    // one per node) and kPrimeCost per prime found. A search stops early,
    // with some primes not found, once the cost passes the limit.
    std::uint64_t cost() const { return work_; }
    void limitCost(std::uint64_t limit) { limit_ = limit; }
    bool stopped() const { return work_ > limit_; }

    // For covers that count on positions only. A cube below a node holds
    // the on positions that the free digits above the node make of the
    // node's on points it holds (the first set of the node's list, or the
    // node's set once that list set was dropped as equal to it). So when a
    // node has at most kSpanPoints on points, its primes hold one of a few
    // on sets, each that of the span of some of the points: the smallest
    // cube holding them, an implicant when it lies in the node's set. With
    // this set, such a node gives the spans of the largest subsets of its
    // points that are implicants instead of its primes; take then receives
    // implicants, and the on set of every prime lies in that of one of them.
    //
    // Spans also leave out implicants whose on positions another one
    // holds (dominated ones), found without comparing any two: a prime 0x
    // (top digit 0) of a node whose on positions span a cube inside
    // T = S0 AND S1 lies, on its on positions, inside the prime -y (top digit
    // free) of a prime y of T that holds that cube, and -y is searched in
    // the free branch. So the fixed branches carry T as a dominance set:
    // an implicant below whose on positions' span lies inside one is left
    // out. Cut to a child like the list: the half of the fixed digit, and
    // for a free digit both halves at once (D0 AND D1, which holds the span
    // whichever halves its on positions lie in); a child inside one of its
    // dominance sets has nothing left to give. setSpans(true) needs
    // prepare(b, true).
    void setSpans(bool spans) { spans_ = spans; }
    static constexpr int kSpanPoints = 6;

private:
    // Loops that only answer questions about sets (empty? equal?) stop at
    // the first block of this many words after which all answers are known.
    static constexpr std::size_t kBlock = 8;

    // The child sets of a node over k bits: room for kMaxList sets of half
    // its words (T and the lists, or S0 - S1).
    // With dominance sets: T stays in the first set for the fixed
    // branches, S0 - S1 takes the second, and the cut dominance sets follow
    // the list.
    struct Frame {
        Word* sets = nullptr;
        const Word* list[kMaxList + 1] = {};
        const Word* dominance[kMaxList + 1] = {};
    };

    // A wide node: its set, its list, the digits fixed above it.
    struct Node {
        int k;
        const Word* s;
        const Word* const* h;
        int n;
        const Word* const* d;  // dominance sets
        int nd;
        std::uint32_t care;
        std::uint32_t one;
        std::uint32_t childShare;
        bool onFirst;  // h[0] holds the node's on positions
    };
    struct Halves {
        bool meet = false;                // S0 AND S1 not empty
        bool only[2] = {false, false};    // S0 - S1, S1 - S0 not empty
    };
    // A set of a node's list cut to a child, and what it is there.
    template <class Set>
    struct Cut {
        Set set;
        bool empty;  // the child has no prime that meets it (a dominance set: it holds nothing)
        bool same;   // equal to the child's set: it says nothing (a dominance set: it holds everything)
    };

    // The list of a child node, into list[0 .. m - 1]: cut(j, at) gives set
    // j of the node's list cut to the child (at: the place it would take in
    // the child's list). An empty one leaves the child no prime (false); one
    // equal to the child's set is dropped, and when that is the first set,
    // which held the on positions, onFirst ends. Every filter of a list in
    // this search is this one.
    template <class Set, class CutSet>
    static bool childList(int n, Set* list, int& m, bool& onFirst, const CutSet& cut) {
        m = 0;
        for (int j = 0; j < n; ++j) {
            const Cut<Set> c = cut(j, m);
            if (c.empty) return false;
            if (!c.same) {
                list[m++] = c.set;
            } else if (j == 0) {
                onFirst = false;
            }
        }
        return true;
    }

    // The dominance sets of a child into d[0 .. m - 1]: an empty one is
    // dropped; one equal to the child's set leaves the child nothing to
    // give (false).
    template <class Set, class CutSet>
    static bool childDominance(int n, Set* d, int& m, const CutSet& cut) {
        for (int j = 0; j < n; ++j) {
            const Cut<Set> c = cut(j, m);
            if (c.same) return false;
            if (!c.empty) d[m++] = c.set;
        }
        return true;
    }

    template <class Take>
    void wide(const Node& node, std::uint32_t share, const Take& take);
    template <class Take>
    void descend(const Node& node, const Word* set, int m, int md, std::uint32_t care, std::uint32_t one,
                 const Take& take, bool onFirst);
    template <class Take>
    void topFree(const Node& node, const Halves& halves, const Take& take);
    template <class Take>
    void topFixed(const Node& node, const Halves& halves, int side, const Take& take);
    // A narrow node's lists, by value.
    struct Words {
        Word h[kMaxList + 1];
        Word d[kMaxList + 1];
        int n = 0;
        int nd = 0;
    };
    template <class Take>
    void narrow(int k, Word s, const Words& lists, std::uint32_t care, std::uint32_t one, const Take& take,
                bool onFirst);
    template <class Take>
    void narrowChild(int k, Word s, const Words& lists, int side, std::uint32_t care, std::uint32_t one,
                     const Take& take, bool onFirst);
    // dominance(j): dominance set j, for j < nd.
    template <class Take, class Dominance>
    void spans(int k, const Word* s, const Dominance& dominance, int nd, const std::uint32_t* points, int n,
               std::uint32_t care, std::uint32_t one, const Take& take);
    template <class Take>
    void found(std::uint32_t care, std::uint32_t one, const Take& take) {
        work_ += kPrimeCost;
        take(care, one);
    }
    void progress(std::uint32_t units) {
        if (done_ != nullptr && units > 0) done_->fetch_add(units, std::memory_order_relaxed);
    }

    int b_ = -1;
    CountedArray<Word> arena_;
    Frame frames_[32];
    std::uint64_t work_ = 0;
    std::uint64_t limit_ = ~std::uint64_t{0};
    std::atomic<std::uint64_t>* done_ = nullptr;
    bool spans_ = false;
    bool dominance_ = false;  // the frames have room for dominance sets
};

}  // namespace qm5::fast

#include "minimiser/prime_search_nodes.hpp"
#include "minimiser/prime_spans.hpp"
