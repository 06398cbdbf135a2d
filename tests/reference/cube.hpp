#pragma once
// Cubes over the b bits of a pixel position, as the reference minimiser
// (FunctionMinimiser) works with them, and their encoding into the cube data
// of a colour record.
//
// A cube is held as b digits (0: the bit must be 0, 1: it must be 1, 2: free)
// together with the list of every position it covers. The lists are what the
// cover step marks position by position; merging copies both lists, so a cube
// with k free digits lists its 2^k positions once each.
//
// Storage never comes from a throwing allocation: every allocation asks an
// AllocationGate first (when one is given), so that tests can make a chosen
// allocation fail as if memory had run out.

#include <cstdint>
#include <memory>
#include <span>

#include "core/heap_array.hpp"

namespace qm5 {

// Counts the allocations of one minimiser run. The allocation whose number
// (1 = the first) equals failAt is refused as if memory had run out.
struct AllocationGate {
    std::uint64_t failAt = 0;  // 0: none is refused
    std::uint64_t count = 0;   // allocations asked for so far

    bool allow() { return ++count != failAt; }
};

// Allocates count zeroed elements through the gate (nullptr: no gate).
template <class T>
[[nodiscard]] bool gatedAllocate(HeapArray<T>& array, std::uint64_t count, AllocationGate* gate) {
    array.reset();
    if (gate != nullptr && !gate->allow()) return false;
    return array.allocate(count);
}

inline constexpr std::int32_t kDigitZero = 0;
inline constexpr std::int32_t kDigitOne = 1;
inline constexpr std::int32_t kDigitFree = 2;

struct Cube {
    HeapArray<std::int32_t> positions;  // exactly the covered positions
    HeapArray<std::int32_t> digits;     // entry i: digit of position bit i
    std::int32_t bitCount = 0;          // b
    std::int32_t weight = 0;            // number of digits that are 1
    // 0: not merged into a larger cube, so a candidate for the cover.
    // 1: merged into a cube of the next level, or made from a don't care.
    std::int32_t merged = 0;

    std::int32_t positionCount() const { return static_cast<std::int32_t>(positions.size()); }
    // A released cube (or a default one) holds no storage.
    bool holdsStorage() const { return !positions.empty() || !digits.empty(); }
    void release() {
        positions.reset();
        digits.reset();
    }
};

// Level k: the cubes with k free digits, in the order in which they were
// made. The capacity is fixed when the level is made and never grows; a
// level owns its cubes' storage and the levels behind it.
struct CubeLevel {
    std::unique_ptr<CubeLevel> next;
    std::unique_ptr<Cube[]> cubes;
    std::int64_t capacity = 0;
    std::int32_t count = 0;

    // Gives the level room for capacity cubes and count 0; false when the
    // storage cannot be had.
    [[nodiscard]] bool reserve(std::int64_t capacity, AllocationGate* gate);
    // Appends a cube; requires count < capacity.
    void append(Cube&& cube);
};

// The chosen cover. The entries point into the levels, which keep owning the
// cubes; coverTable holds 1 at every position a chosen cube covers.
struct CubeSelection {
    HeapArray<const Cube*> cubes;  // room for 2^b entries
    std::int32_t count = 0;
    HeapArray<std::int32_t> coverTable;  // 2^b entries, 0 = not yet covered
};

// Which storage of a new cube could not be had.
enum class CubeStorage { ok, noDigits, noPositions };

// The single-position cube of p: digit i = bit i of p. Storage for digits is
// asked for first, then for positions; on failure out holds nothing.
CubeStorage makePositionCube(std::int32_t p, std::int32_t b, Cube& out, AllocationGate* gate = nullptr);

// The number of digits in which u and v differ; free differs from 0 and 1.
std::int32_t differenceCount(const Cube& u, const Cube& v);

// Weights one apart (a cheap first test) and exactly one differing digit.
bool canMerge(const Cube& u, const Cube& v);

// The cube w of u and v (canMerge must hold): the differing digit becomes
// free and w lists u's positions followed by v's. Storage for positions is
// asked for first, then for digits; on failure out holds nothing.
CubeStorage mergeCubes(const Cube& u, const Cube& v, Cube& out, AllocationGate* gate = nullptr);

// Same bit count and every digit equal.
bool sameCube(const Cube& u, const Cube& v);

// Index pairs i < j of the level for which canMerge holds, whatever their
// merged state.
std::int64_t countPairs(const CubeLevel& level);

// Bit i set where digit i is 0 (zeroMask) or 1 (oneMask).
std::uint32_t zeroMask(const Cube& cube);
std::uint32_t oneMask(const Cube& cube);

// Writes the cube data of the cubes, in list order, into data, which must
// hold exactly cubeDataLength(cubes.size(), b) zeroed bytes. False (and
// nothing written past data) when the sizes do not match.
bool encodeCubes(std::span<const Cube* const> cubes, std::int32_t b, std::span<std::uint8_t> data);

}  // namespace qm5
