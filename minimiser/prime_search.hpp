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

    static std::uint64_t bytesFor(int b);
    // Storage for searches over b position bits; false when it cannot be had.
    [[nodiscard]] bool prepare(int b);

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
    void setSpans(bool spans) { spans_ = spans; }
    static constexpr int kSpanPoints = 6;

private:
    // The child sets of a node over k bits: room for kMaxList sets of half
    // its words (T and the lists, or S0 - S1).
    struct Frame {
        Word* sets = nullptr;
        const Word* list[kMaxList + 1] = {};
    };

    // A wide node: its set, its list, the digits fixed above it.
    struct Node {
        int k;
        const Word* s;
        const Word* const* h;
        int n;
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
        bool empty;  // the child has no prime that meets it
        bool same;   // equal to the child's set: it says nothing
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

    template <class Take>
    void wide(int k, const Word* s, const Word* const* h, int n, std::uint32_t care, std::uint32_t one, std::uint32_t share,
              const Take& take, bool onFirst);
    template <class Take>
    void descend(const Node& node, const Word* set, int m, std::uint32_t care, std::uint32_t one, const Take& take,
                 bool onFirst);
    template <class Take>
    void topFree(const Node& node, const Take& take);
    template <class Take>
    void topFixed(const Node& node, const Halves& halves, int side, const Take& take);
    template <class Take>
    void narrow(int k, Word s, const Word* h, int n, std::uint32_t care, std::uint32_t one, const Take& take,
                bool onFirst);
    template <class Take>
    void spans(int k, const Word* s, const std::uint32_t* points, int n, std::uint32_t care, std::uint32_t one,
               const Take& take);
    template <class Take>
    void found(std::uint32_t care, std::uint32_t one, const Take& take) {
        work_ += kPrimeCost;
        take(care, one);
    }
    void progress(std::uint32_t units) {
        if (done_ != nullptr && units > 0) done_->fetch_add(units, std::memory_order_relaxed);
    }

    int b_ = -1;
    HeapArray<Word> arena_;
    Frame frames_[32];
    std::uint64_t work_ = 0;
    std::uint64_t limit_ = ~std::uint64_t{0};
    std::atomic<std::uint64_t>* done_ = nullptr;
    bool spans_ = false;
};

// ---------------------------------------------------------------------------

template <class Take>
void PrimeSearch::run(const Word* nonOff, const Word* on, const Take& take, std::atomic<std::uint64_t>* done) {
    done_ = done;
    const int b = b_;
    bool anyOn = false;
    for (std::size_t i = 0; i < bitmap::wordsFor(b) && !anyOn; ++i) anyOn = on[i] != 0;
    if (!anyOn) {
        progress(kSearchShare);
        return;
    }
    if (b <= 6) {
        const Word h = on[0];
        if (h != 0) narrow(b, nonOff[0], &h, 1, 0, 0, take, true);
        progress(kSearchShare);
        return;
    }
    const Word* list[1] = {on};
    wide(b, nonOff, list, 1, 0, 0, kSearchShare, take, true);
}


// A node over k > 6 bits: s and each h[j] hold 2^(k - 6) words.
template <class Take>
void PrimeSearch::wide(int k, const Word* s, const Word* const* h, int n, std::uint32_t care, std::uint32_t one,
                       std::uint32_t share, const Take& take, bool onFirst) {
    const std::size_t half = std::size_t{1} << (k - 7);
    if (spans_ && onFirst) {
        // The on points, while there are few.
        std::uint32_t points[kSpanPoints + 1];
        int count = 0;
        std::size_t i = 0;
        for (; i < 2 * half && count <= kSpanPoints; ++i) {
            for (Word w = h[0][i]; w != 0 && count <= kSpanPoints; w &= w - 1) {
                points[count++] = static_cast<std::uint32_t>(i << 6 | std::countr_zero(w));
            }
        }
        work_ += i / 4;
        if (count <= kSpanPoints) {
            spans(k, s, points, count, care, one, take);
            progress(share);
            return;
        }
    }
    const Word* s0 = s;
    const Word* s1 = s + half;
    bool full = true;
    Halves halves;
    for (std::size_t i = 0; i < half; ++i) {
        const Word a = s0[i];
        const Word c = s1[i];
        full = full && (a & c) == ~Word{0};
        halves.meet = halves.meet || (a & c) != 0;
        halves.only[0] = halves.only[0] || (a & ~c) != 0;
        halves.only[1] = halves.only[1] || (c & ~a) != 0;
    }
    work_ += half;
    if (full || work_ > limit_) {
        if (full) found(care, one, take);
        progress(share);
        return;
    }
    const Node node{k, s, h, n, care, one, share / 3, onFirst};
    topFree(node, take);
    topFixed(node, halves, 0, take);
    topFixed(node, halves, 1, take);
    progress(share - 3 * node.childShare);
}

// The children of a wide node: the list in frames_[k], the set given.
template <class Take>
void PrimeSearch::descend(const Node& node, const Word* set, int m, std::uint32_t care, std::uint32_t one,
                          const Take& take, bool onFirst) {
    const Frame& f = frames_[node.k];
    if (node.k - 1 > 6) {
        wide(node.k - 1, set, f.list, m, care, one, node.childShare, take, onFirst);
        return;
    }
    Word values[kMaxList + 1];
    for (int j = 0; j < m; ++j) values[j] = f.list[j][0];
    narrow(node.k - 1, set[0], values, m, care, one, take, onFirst);
    progress(node.childShare);
}

// Top digit free: T and (H0 OR H1) AND T.
template <class Take>
void PrimeSearch::topFree(const Node& node, const Take& take) {
    const std::size_t half = std::size_t{1} << (node.k - 7);
    Frame& f = frames_[node.k];
    Word* t = f.sets;
    Word any = 0;
    for (std::size_t i = 0; i < half; ++i) {
        t[i] = node.s[i] & node.s[half + i];
        any |= t[i];
    }
    int m = 0;
    bool onFirst = node.onFirst;
    const bool alive = any != 0 && childList(node.n, f.list, m, onFirst, [&](int j, int at) {
        Word* out = f.sets + (at + 1) * half;
        const Word* h0 = node.h[j];
        const Word* h1 = node.h[j] + half;
        Word some = 0;
        Word differs = 0;
        for (std::size_t i = 0; i < half; ++i) {
            out[i] = (h0[i] | h1[i]) & t[i];
            some |= out[i];
            differs |= out[i] ^ t[i];
        }
        work_ += half;
        return Cut<const Word*>{out, some == 0, differs == 0};
    });
    if (alive) {
        descend(node, t, m, node.care, node.one, take, onFirst);
    } else {
        progress(node.childShare);
    }
}

// Top digit 0 (side 0) or 1: the half itself, its part of each h, and the
// part of the half outside the other half.
template <class Take>
void PrimeSearch::topFixed(const Node& node, const Halves& halves, int side, const Take& take) {
    const std::size_t half = std::size_t{1} << (node.k - 7);
    Frame& f = frames_[node.k];
    const Word* mine = node.s + (side == 0 ? 0 : half);
    const Word* other = node.s + (side == 0 ? half : 0);
    int m = 0;
    bool onFirst = node.onFirst;
    const bool alive = halves.only[side] && childList(node.n, f.list, m, onFirst, [&](int j, int) {
        const Word* part = node.h[j] + (side == 0 ? 0 : half);
        Word any = 0;
        Word differs = 0;
        for (std::size_t i = 0; i < half; ++i) {
            any |= part[i];
            differs |= part[i] ^ mine[i];
        }
        work_ += half;
        return Cut<const Word*>{part, any == 0, differs == 0};
    });
    if (!alive) {
        progress(node.childShare);
        return;
    }
    // mine - other is not empty; it is all of mine when the halves do not meet.
    if (halves.meet) {
        Word* d = f.sets;
        for (std::size_t i = 0; i < half; ++i) d[i] = mine[i] & ~other[i];
        f.list[m++] = d;
    }
    const std::uint32_t bit = std::uint32_t{1} << (node.k - 1);
    descend(node, mine, m, node.care | bit, side == 0 ? node.one : node.one | bit, take, onFirst);
}

// A node over k <= 6 bits: every set is the low 2^k bits of one word.
template <class Take>
void PrimeSearch::narrow(int k, Word s, const Word* h, int n, std::uint32_t care, std::uint32_t one, const Take& take,
                         bool onFirst) {
    work_ += 1 + static_cast<std::uint64_t>(n);
    const Word full = k == 6 ? ~Word{0} : (Word{1} << (1u << k)) - 1;
    if (s == full) {
        found(care, one, take);
        return;
    }
    if (spans_) {
        const Word on = onFirst ? h[0] : s;
        if (bitmap::ones(on) <= kSpanPoints) {
            std::uint32_t points[kSpanPoints];
            int count = 0;
            for (Word w = on; w != 0; w &= w - 1) points[count++] = static_cast<std::uint32_t>(std::countr_zero(w));
            spans(k, &s, points, count, care, one, take);
            return;
        }
    }
    if (work_ > limit_) return;
    if (k == 0) return;  // an empty one-position set (no list set is empty, so never reached)
    const unsigned hb = 1u << (k - 1);
    const Word low = (Word{1} << hb) - 1;
    const Word s0 = s & low;
    const Word s1 = s >> hb;
    const Word t = s0 & s1;
    const std::uint32_t bit = std::uint32_t{1} << (k - 1);
    Word list[kMaxList + 1];
    if (t != 0) {
        int m = 0;
        bool first = onFirst;
        const bool alive = childList(n, list, m, first, [&](int j, int) {
            const Word x = ((h[j] & low) | (h[j] >> hb)) & t;
            return Cut<Word>{x, x == 0, x == t};
        });
        if (alive) narrow(k - 1, t, list, m, care, one, take, first);
    }
    for (int side = 0; side < 2; ++side) {
        const Word mine = side == 0 ? s0 : s1;
        const Word rest = mine & ~(side == 0 ? s1 : s0);
        if (rest == 0) continue;
        int m = 0;
        bool first = onFirst;
        const bool alive = childList(n, list, m, first, [&](int j, int) {
            const Word x = side == 0 ? h[j] & low : h[j] >> hb;
            return Cut<Word>{x, x == 0, x == mine};
        });
        if (!alive) continue;
        if (rest != mine) list[m++] = rest;
        narrow(k - 1, mine, list, m, care | bit, side == 0 ? one : one | bit, take, first);
    }
}

}  // namespace qm5::fast

#include "minimiser/prime_spans.hpp"
