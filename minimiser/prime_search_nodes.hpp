#pragma once
// PrimeSearch's nodes, included at the end of prime_search.hpp: the wide
// ones (sets of many words, halves by address) and the narrow ones (sets of
// one word, halves by shifts).

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qm5::fast {

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
        Words lists;
        lists.h[0] = on[0];
        lists.n = 1;
        narrow(b, nonOff[0], lists, 0, 0, take, true);
        progress(kSearchShare);
        return;
    }
    const Word* list[1] = {on};
    const Node root{b, nonOff, list, 1, nullptr, 0, 0, 0, 0, true};
    wide(root, kSearchShare, take);
}

// A node over k > 6 bits: its set and every set of its lists hold
// 2^(k - 6) words; share: its progress units (at.childShare is unused).
template <class Take>
void PrimeSearch::wide(const Node& at, std::uint32_t share, const Take& take) {
    const Word* const* h = at.h;
    const int k = at.k;
    const Word* s = at.s;
    const std::size_t half = std::size_t{1} << (k - 7);
    if (spans_ && at.onFirst) {
        // The on points, while there are few.
        std::uint32_t points[kSpanPoints + 1];
        int count = 0;
        const Word* on = h[0];
        const std::size_t words = 2 * half;
        std::size_t i = 0;
        while (i < words && count <= kSpanPoints) {
            // On sets are mostly empty words: skip them four at a time.
            while (i + 4 <= words && (on[i] | on[i + 1] | on[i + 2] | on[i + 3]) == 0) i += 4;
            if (i == words) break;
            for (Word w = on[i]; w != 0 && count <= kSpanPoints; w &= w - 1) {
                points[count++] = static_cast<std::uint32_t>(i << 6 | std::countr_zero(w));
            }
            ++i;
        }
        work_ += i / 4;
        if (count <= kSpanPoints) {
            spans(k, s, [&](int j) { return at.d[j]; }, at.nd, points, count, at.care, at.one, take);
            progress(share);
            return;
        }
    }
    // One pass over the halves: what they hold, and T = S0 AND S1 into the
    // first set of the children's frame, where topFree and topFixed take it
    // (a search that goes on reads every word of T anyway).
    const Word* s0 = s;
    const Word* s1 = s + half;
    Word* t = frames_[k].sets;
    // meet, not full, only in S0, only in S1.
    const auto sums = bitmap::orSums<4>(half, [&](auto& sum, std::size_t i) {
        using V = typename std::remove_reference_t<decltype(sum)>::value_type;
        const V a = bitmap::load<V>(s0 + i);
        const V c = bitmap::load<V>(s1 + i);
        const V both = a & c;
        bitmap::store(t + i, both);
        sum[0] |= both;
        sum[1] |= ~both;
        sum[2] |= a & ~c;
        sum[3] |= c & ~a;
    });
    work_ += half;
    const bool full = sums[1] == 0;
    Halves halves;
    halves.meet = sums[0] != 0;
    halves.only[0] = sums[2] != 0;
    halves.only[1] = sums[3] != 0;
    if (full || work_ > limit_) {
        if (full) found(at.care, at.one, take);
        progress(share);
        return;
    }
    const Node node{k, s, h, at.n, at.d, at.nd, at.care, at.one, share / 3, at.onFirst};
    topFree(node, halves, take);
    topFixed(node, halves, 0, take);
    topFixed(node, halves, 1, take);
    progress(share - 3 * node.childShare);
}

// The children of a wide node: the lists in frames_[k], the set given.
template <class Take>
void PrimeSearch::descend(const Node& node, const Word* set, int m, int md, std::uint32_t care, std::uint32_t one,
                          const Take& take, bool onFirst) {
    const Frame& f = frames_[node.k];
    if (node.k - 1 > 6) {
        const Node child{node.k - 1, set, f.list, m, f.dominance, md, care, one, 0, onFirst};
        wide(child, node.childShare, take);
        return;
    }
    Words lists;
    for (int j = 0; j < m; ++j) lists.h[j] = f.list[j][0];
    for (int j = 0; j < md; ++j) lists.d[j] = f.dominance[j][0];
    lists.n = m;
    lists.nd = md;
    narrow(node.k - 1, set[0], lists, care, one, take, onFirst);
    progress(node.childShare);
}

// Top digit free: T (which wide left in the first set of the frame),
// (H0 OR H1) AND T, and D0 AND D1. Every dominance set lies inside its
// node's set (T of a node above, cut down as that set was), so D0 AND D1
// lies inside S0 AND S1 = T without cutting it to T.
template <class Take>
void PrimeSearch::topFree(const Node& node, const Halves& halves, const Take& take) {
    const std::size_t half = std::size_t{1} << (node.k - 7);
    Frame& f = frames_[node.k];
    const Word* t = f.sets;
    int m = 0;
    int md = 0;
    bool onFirst = node.onFirst;
    const bool alive = halves.meet && childList(node.n, f.list, m, onFirst, [&](int j, int at) {
        Word* out = f.sets + (at + 1) * half;
        const Word* h0 = node.h[j];
        const Word* h1 = node.h[j] + half;
        // Some, differs from T.
        const auto sums = bitmap::orSums<2>(half, [&](auto& sum, std::size_t i) {
            using V = typename std::remove_reference_t<decltype(sum)>::value_type;
            const V ti = bitmap::load<V>(t + i);
            const V x = (bitmap::load<V>(h0 + i) | bitmap::load<V>(h1 + i)) & ti;
            bitmap::store(out + i, x);
            sum[0] |= x;
            sum[1] |= x ^ ti;
        });
        work_ += half;
        return Cut<const Word*>{out, sums[0] == 0, sums[1] == 0};
    }) && childDominance(node.nd, f.dominance, md, [&](int j, int at) {
        Word* out = f.sets + (m + at + 1) * half;
        const Word* d0 = node.d[j];
        const Word* d1 = node.d[j] + half;
        const auto sums = bitmap::orSums<2>(half, [&](auto& sum, std::size_t i) {
            using V = typename std::remove_reference_t<decltype(sum)>::value_type;
            const V x = bitmap::load<V>(d0 + i) & bitmap::load<V>(d1 + i);
            bitmap::store(out + i, x);
            sum[0] |= x;
            sum[1] |= x ^ bitmap::load<V>(t + i);
        });
        work_ += half;
        return Cut<const Word*>{out, sums[0] == 0, sums[1] == 0};
    });
    if (alive) {
        descend(node, t, m, md, node.care, node.one, take, onFirst);
    } else {
        progress(node.childShare);
    }
}

// Top digit 0 (side 0) or 1: the half itself, its part of each set of the
// lists, the part of the half outside the other half, and (spans) T as a
// dominance set.
template <class Take>
void PrimeSearch::topFixed(const Node& node, const Halves& halves, int side, const Take& take) {
    const std::size_t half = std::size_t{1} << (node.k - 7);
    Frame& f = frames_[node.k];
    const Word* mine = node.s + (side == 0 ? 0 : half);
    const Word* other = node.s + (side == 0 ? half : 0);
    int m = 0;
    int md = 0;
    bool onFirst = node.onFirst;
    auto cutPart = [&](const Word* set) {
        const Word* part = set + (side == 0 ? 0 : half);
        // Any, differs from mine; in blocks of whole pairs (half is a power
        // of two), stopping at the first after which both are known.
        std::array<Word, 2> sums{};
        auto step = [&](auto& sum, std::size_t i) {
            using V = typename std::remove_reference_t<decltype(sum)>::value_type;
            const V x = bitmap::load<V>(part + i);
            sum[0] |= x;
            sum[1] |= x ^ bitmap::load<V>(mine + i);
        };
        if (half <= kBlock) {
            sums = bitmap::orSums<2>(half, step);
        } else {
            for (std::size_t from = 0; from < half && (sums[0] == 0 || sums[1] == 0); from += kBlock) {
                std::array<bitmap::Pair, 2> block{};
                for (std::size_t i = from; i < from + kBlock; i += bitmap::kPairWords) step(block, i);
                sums[0] |= bitmap::either(block[0]);
                sums[1] |= bitmap::either(block[1]);
            }
        }
        work_ += half;
        return Cut<const Word*>{part, sums[0] == 0, sums[1] == 0};
    };
    const bool alive =
        halves.only[side] && childList(node.n, f.list, m, onFirst, [&](int j, int) { return cutPart(node.h[j]); }) &&
        childDominance(node.nd, f.dominance, md, [&](int j, int) { return cutPart(node.d[j]); });
    if (!alive) {
        progress(node.childShare);
        return;
    }
    // mine - other is not empty; it is all of mine when the halves do not meet.
    if (halves.meet) {
        Word* d = f.sets + (spans_ ? half : 0);
        bitmap::orSums<0>(half, [&](auto& sum, std::size_t i) {
            using V = typename std::remove_reference_t<decltype(sum)>::value_type;
            bitmap::store(d + i, bitmap::load<V>(mine + i) & ~bitmap::load<V>(other + i));
        });
        f.list[m++] = d;
        if (spans_) f.dominance[md++] = f.sets;  // T, which topFree left in the first set
    }
    const std::uint32_t bit = std::uint32_t{1} << (node.k - 1);
    descend(node, mine, m, md, node.care | bit, side == 0 ? node.one : node.one | bit, take, onFirst);
}

// A node over k <= 6 bits: every set is the low 2^k bits of one word.
template <class Take>
void PrimeSearch::narrow(int k, Word s, const Words& lists, std::uint32_t care, std::uint32_t one, const Take& take,
                         bool onFirst) {
    work_ += 1 + static_cast<std::uint64_t>(lists.n + lists.nd);
    const Word full = k == 6 ? ~Word{0} : (Word{1} << (1u << k)) - 1;
    if (s == full) {
        found(care, one, take);
        return;
    }
    if (spans_) {
        const Word on = onFirst ? lists.h[0] : s;
        if (bitmap::ones(on) <= kSpanPoints) {
            std::uint32_t points[kSpanPoints];
            int count = 0;
            for (Word w = on; w != 0; w &= w - 1) points[count++] = static_cast<std::uint32_t>(std::countr_zero(w));
            spans(k, &s, [&](int j) { return &lists.d[j]; }, lists.nd, points, count, care, one, take);
            return;
        }
    }
    if (work_ > limit_) return;
    if (k == 0) return;  // an empty one-position set (no list set is empty, so never reached)
    for (int side = -1; side < 2; ++side) narrowChild(k, s, lists, side, care, one, take, onFirst);
}

// The child of a narrow node for the top digit free (side -1), 0 or 1.
template <class Take>
void PrimeSearch::narrowChild(int k, Word s, const Words& lists, int side, std::uint32_t care, std::uint32_t one,
                              const Take& take, bool onFirst) {
    const unsigned hb = 1u << (k - 1);
    const Word low = (Word{1} << hb) - 1;
    const Word s0 = s & low;
    const Word s1 = s >> hb;
    const Word t = s0 & s1;
    const Word mine = side < 0 ? t : side == 0 ? s0 : s1;
    const Word rest = side < 0 ? t : mine & ~(side == 0 ? s1 : s0);
    if (rest == 0) return;
    auto part = [&](Word x) { return side < 0 ? x & t : side == 0 ? x & low : x >> hb; };
    Words child;
    bool first = onFirst;
    const bool alive = childList(lists.n, child.h, child.n, first, [&](int j, int) {
        const Word x = side < 0 ? ((lists.h[j] & low) | (lists.h[j] >> hb)) & t : part(lists.h[j]);
        return Cut<Word>{x, x == 0, x == mine};
    }) && childDominance(lists.nd, child.d, child.nd, [&](int j, int) {
        const Word x = side < 0 ? lists.d[j] & (lists.d[j] >> hb) : part(lists.d[j]);
        return Cut<Word>{x, x == 0, x == mine};
    });
    if (!alive) return;
    if (side < 0) {
        narrow(k - 1, t, child, care, one, take, first);
        return;
    }
    if (rest != mine) {
        child.h[child.n++] = rest;
        if (spans_) child.d[child.nd++] = t;
    }
    const std::uint32_t bit = std::uint32_t{1} << (k - 1);
    narrow(k - 1, mine, child, care | bit, side == 0 ? one : one | bit, take, first);
}

}  // namespace qm5::fast
