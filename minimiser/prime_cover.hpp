#pragma once
// The order in which the reference visits the primes, as a sort key, and
// the greedy cover over position bitmaps that the fast engines run on the
// primes they find.
//
// Based on: the prime implicants of W. V. Quine, "The problem of
// simplifying truth functions", American Mathematical Monthly 59 (1952) and
// E. J. McCluskey, "Minimization of Boolean functions", Bell System
// Technical Journal 35 (1956), whose merge the reference
// (tests/reference/function_minimiser.hpp) performs literally; the greedy
// walk is the reference's own cover, argued below.
//
// Why the reference (FunctionMinimiser) writes the greedy walk over the
// primes in key order. Let S be the colour's non-off set, an implicant a
// cube inside S, a prime an implicant that no one-digit widening keeps
// inside S. For a cube, O is its one mask and F the ascending list of its
// free bit indices. Assume no allocation fails (the reference then goes on
// with fewer cubes; the fast engines report outOfMemory instead).
//
// 1. Level k holds every implicant with k free digits once. Level 0 lists
//    the positions of S. Merging pairs all cubes of level k, marked or not
//    (marks are read only by the cover, and storage goes only after the
//    next level is complete), and a merge of two implicants is an
//    implicant. An implicant w with k + 1 free digits is the merge of its
//    two halves across any free digit f (digit f set to 0 and to 1), both
//    in level k, so some pair makes w; a w made again is dropped.
// 2. Level k is in key order: O ascending, then F lexicographically. For
//    level 0, O is the position. Say level k is in that order, and let w
//    in level k + 1 have free list F = a1 < ... < am. Its pairs are
//    (w with f = 0, w with f = 1) for f in F, and the first of each pair is
//    the half with f = 0 (smaller O). Those halves share O, so the earliest
//    has the smallest list F - {f}; dropping a_t for t < m leaves a_(t+1)
//    at place t where dropping a_m leaves a_t < a_(t+1), so w is first made
//    by its halves across a_m, the largest free digit. Two cubes w1, w2 of
//    level k + 1 are thus ordered by (index of lower half, index of upper
//    half). Different lower halves order as (O, F without its last)
//    does, which is the order of (O, F) whenever the lists without their
//    last differ; if they are the same, so are the lower halves. With the
//    same lower half u, w1 and w2 free digits g1, g2 of u above all of u's
//    free digits, their upper halves have one masks O + 2^g1 and O + 2^g2,
//    and their lists are F(u) + g1 and F(u) + g2: both order by g.
// 3. Marks. A cube is marked when a pair it belongs to makes a new cube.
//    A prime never merges (its merge would be a wider implicant), so every
//    prime stays unmarked. A non-prime c may stay unmarked too, when every
//    widening it takes part in was made first by another pair (0-0, -01
//    and -11 in the worked example of b = 3 in the tests). Such a c is
//    never chosen: some prime p holds c and has more free digits, so p is
//    visited first (levels from the last down). Then p was either chosen,
//    and every position of c is covered, or skipped because all its
//    positions are don't cares or all are covered, which holds for c's
//    positions too, and covering only grows. Don't cares of level 0 are
//    marked from the start; only don't cares, they would be skipped anyway.
// 4. So the reference writes the cubes of this walk: the primes of S by
//    free digits descending, then O ascending, then F lexicographically;
//    a prime is skipped when all its positions are don't cares or all are
//    covered, otherwise written and all its positions count as covered.
//    That is FunctionMinimiser's cover with the unmarked non-primes, which
//    change nothing, left out, and what CoverBuilder::visit does over keys
//    sorted ascending (cubeKey).

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "minimiser/bitmap.hpp"
#include "minimiser/minimise_status.hpp"
#include "minimiser/limits.hpp"
#include "texture/texture_format.hpp"

namespace qm5::fast {

// Largest b the engines take: a key holds the count of fixed digits
// (6 bits) and two b-bit masks.
inline constexpr int kMaxBits = 29;

using bitmap::lowBits;

// Ascending keys are the visiting order: fewer fixed digits first, then the
// one mask ascending, then the free-bit list. Of two free sets of equal size
// the lexicographically smaller list holds the lowest bit in which they
// differ; reversed, that is the highest differing bit, so the smaller list
// has the larger reversed free mask, which is the smaller reversed care mask.
inline std::uint64_t cubeKey(std::uint32_t care, std::uint32_t one, int b) {
    const auto fixed = static_cast<std::uint64_t>(bitmap::ones(care));
    return (fixed << 58) | (std::uint64_t{one} << (58 - b)) |
           (std::uint64_t{reversedLowBits(care, b)} << (58 - 2 * b));
}

struct KeyMasks {
    std::uint32_t care = 0;
    std::uint32_t one = 0;
};
inline KeyMasks keyMasks(std::uint64_t key, int b) {
    const std::uint32_t mask = lowBits(b);
    KeyMasks m;
    m.one = static_cast<std::uint32_t>(key >> (58 - b)) & mask;
    m.care = reversedLowBits(static_cast<std::uint32_t>(key >> (58 - 2 * b)) & mask, b);
    return m;
}

// The greedy cover of one colour, over bitmaps of the 2^b positions: a cube
// is written when it holds an on position and a position not yet covered.
class CoverBuilder {
public:
    // Storage for b position bits; false when it cannot be had.
    [[nodiscard]] bool prepare(int b, std::int64_t maxDataLength);
    static std::uint64_t bytesFor(int b, std::int64_t maxDataLength);

    // Clears the on and covered bitmaps and the written cubes.
    void start();
    std::uint64_t* onWords() { return on_.data(); }
    std::size_t wordCount() const { return words_; }

    // Visits cubes in ascending key order (the caller sorts); false as soon
    // as more cubes are written than the record may hold.
    bool visit(std::span<const std::uint64_t> sortedKeys);

    // The record of the cubes written: head and cube data.
    MinimiseStatus writeRecord(HeapArray<std::uint8_t>& record) const;
    std::size_t cubeCount() const { return count_; }
    std::span<const CubeMasks> cubes() const { return {cubes_.data(), count_}; }

private:
    int b_ = -1;
    std::size_t words_ = 0;
    std::uint64_t maxCubes_ = 0;
    HeapArray<std::uint64_t> on_;
    HeapArray<std::uint64_t> covered_;
    HeapArray<CubeMasks> cubes_;
    std::size_t count_ = 0;
};

// Record bytes for cubes in order: head (L >> 8, L & 0xFF, b) and data.
[[nodiscard]] bool encodeRecord(std::span<const CubeMasks> cubes, int b, HeapArray<std::uint8_t>& record);

// Sets record to one of the heads without data.
[[nodiscard]] bool headRecord(const RecordHead& head, HeapArray<std::uint8_t>& record);

// Cover of one colour from its primes, given as forEach(sink) that calls
// sink(key) for every prime (any order). When count primes fit into chunk,
// one pass; otherwise the key space is cut into ranges of at most chunk
// primes (as far as one histogram bucket allows) and each range is
// collected, sorted and visited in turn.
template <class ForEach>
MinimiseStatus coverFromPrimes(const ForEach& forEach, std::uint64_t count, std::uint64_t chunk,
                               HeapArray<std::uint64_t>& keys, CoverBuilder& cover) {
    if (count <= chunk) {
        if (keys.size() < count && !keys.allocate(count)) return MinimiseStatus::outOfMemory;
        std::uint64_t n = 0;
        forEach([&](std::uint64_t key) {
            if (n < count) keys[static_cast<std::size_t>(n)] = key;
            ++n;
        });
        const auto used = static_cast<std::size_t>(std::min(n, count));
        std::sort(keys.data(), keys.data() + used);
        return cover.visit({keys.data(), used}) ? MinimiseStatus::ok : MinimiseStatus::recordTooLong;
    }
    // Ranges by the top 16 bits of the key: the fixed digit count and the
    // highest bits of the one mask; the histogram takes 512 KiB.
    constexpr std::size_t kBuckets = std::size_t{1} << 16;
    HeapArray<std::uint64_t> histogram;
    if (!histogram.allocate(kBuckets)) return MinimiseStatus::outOfMemory;
    forEach([&](std::uint64_t key) { ++histogram[static_cast<std::size_t>(key >> 48)]; });
    std::size_t bucket = 0;
    while (bucket < kBuckets) {
        std::size_t last = bucket;
        std::uint64_t inRange = histogram[bucket];
        while (last + 1 < kBuckets && inRange + histogram[last + 1] <= chunk) inRange += histogram[++last];
        if (inRange > 0) {
            if (keys.size() < inRange && !keys.allocate(std::max(inRange, chunk))) return MinimiseStatus::outOfMemory;
            const std::uint64_t lo = static_cast<std::uint64_t>(bucket) << 48;
            const std::uint64_t hiBucket = static_cast<std::uint64_t>(last) + 1;
            std::uint64_t n = 0;
            forEach([&](std::uint64_t key) {
                if (key >= lo && (key >> 48) < hiBucket && n < inRange) keys[static_cast<std::size_t>(n++)] = key;
            });
            std::sort(keys.data(), keys.data() + n);
            if (!cover.visit({keys.data(), static_cast<std::size_t>(n)})) return MinimiseStatus::recordTooLong;
        }
        bucket = last + 1;
    }
    return MinimiseStatus::ok;
}

}  // namespace qm5::fast
