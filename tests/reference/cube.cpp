#include "tests/reference/cube.hpp"

#include <cstddef>
#include <limits>
#include <new>
#include <utility>

#include "texture/texture_format.hpp"

namespace qm5 {

bool CubeLevel::reserve(std::int64_t wanted, AllocationGate* gate) {
    cubes.reset();
    capacity = 0;
    count = 0;
    if (gate != nullptr && !gate->allow()) return false;
    constexpr auto maxCubes = static_cast<std::int64_t>(std::numeric_limits<std::ptrdiff_t>::max() / sizeof(Cube));
    if (wanted < 0 || wanted > maxCubes) return false;
    // At least one element so that a successful reserve always owns an array.
    cubes.reset(new (std::nothrow) Cube[static_cast<std::size_t>(wanted > 0 ? wanted : 1)]);
    if (!cubes) return false;
    capacity = wanted;
    return true;
}

void CubeLevel::append(Cube&& cube) {
    cubes[static_cast<std::size_t>(count)] = std::move(cube);
    ++count;
}

CubeStorage makePositionCube(std::int32_t p, std::int32_t b, Cube& out, AllocationGate* gate) {
    out = Cube{};
    Cube cube;
    if (!gatedAllocate(cube.digits, static_cast<std::uint64_t>(b), gate)) return CubeStorage::noDigits;
    if (!gatedAllocate(cube.positions, 1, gate)) return CubeStorage::noPositions;
    cube.bitCount = b;
    for (std::int32_t i = 0; i < b; ++i) {
        const std::int32_t bit = (p >> i) & 1;
        cube.digits[static_cast<std::size_t>(i)] = bit;
        cube.weight += bit;
    }
    cube.positions[0] = p;
    cube.merged = 0;
    out = std::move(cube);
    return CubeStorage::ok;
}

std::int32_t differenceCount(const Cube& u, const Cube& v) {
    std::int32_t differences = 0;
    for (std::int32_t i = 0; i < u.bitCount; ++i) {
        if (u.digits[static_cast<std::size_t>(i)] != v.digits[static_cast<std::size_t>(i)]) ++differences;
    }
    return differences;
}

bool canMerge(const Cube& u, const Cube& v) {
    const std::int32_t weightGap = u.weight - v.weight;
    if (weightGap != 1 && weightGap != -1) return false;
    return differenceCount(u, v) == 1;
}

CubeStorage mergeCubes(const Cube& u, const Cube& v, Cube& out, AllocationGate* gate) {
    out = Cube{};
    Cube w;
    const auto uCount = static_cast<std::uint64_t>(u.positionCount());
    const auto vCount = static_cast<std::uint64_t>(v.positionCount());
    if (!gatedAllocate(w.positions, uCount + vCount, gate)) return CubeStorage::noPositions;
    if (!gatedAllocate(w.digits, static_cast<std::uint64_t>(u.bitCount), gate)) return CubeStorage::noDigits;
    w.bitCount = u.bitCount;
    for (std::int32_t i = 0; i < u.bitCount; ++i) {
        const auto at = static_cast<std::size_t>(i);
        const std::int32_t digit = u.digits[at] == v.digits[at] ? u.digits[at] : kDigitFree;
        w.digits[at] = digit;
        if (digit == kDigitOne) ++w.weight;
    }
    // u's positions, then v's: the two lists are disjoint.
    for (std::uint64_t k = 0; k < uCount; ++k) w.positions[k] = u.positions[k];
    for (std::uint64_t k = 0; k < vCount; ++k) w.positions[uCount + k] = v.positions[k];
    w.merged = 0;
    out = std::move(w);
    return CubeStorage::ok;
}

bool sameCube(const Cube& u, const Cube& v) {
    if (u.bitCount != v.bitCount) return false;
    return differenceCount(u, v) == 0;
}

std::int64_t countPairs(const CubeLevel& level) {
    std::int64_t pairs = 0;
    for (std::int32_t i = 0; i < level.count; ++i) {
        for (std::int32_t j = i + 1; j < level.count; ++j) {
            if (canMerge(level.cubes[static_cast<std::size_t>(i)], level.cubes[static_cast<std::size_t>(j)])) ++pairs;
        }
    }
    return pairs;
}

namespace {

std::uint32_t maskOf(const Cube& cube, std::int32_t digit) {
    std::uint32_t mask = 0;
    for (std::int32_t i = 0; i < cube.bitCount; ++i) {
        if (cube.digits[static_cast<std::size_t>(i)] == digit) mask |= std::uint32_t{1} << i;
    }
    return mask;
}

}  // namespace

std::uint32_t zeroMask(const Cube& cube) { return maskOf(cube, kDigitZero); }
std::uint32_t oneMask(const Cube& cube) { return maskOf(cube, kDigitOne); }

bool encodeCubes(std::span<const Cube* const> cubes, std::int32_t b, std::span<std::uint8_t> data) {
    if (data.size() != cubeDataLength(cubes.size(), b)) return false;
    CubeStreamWriter writer(data, b);
    for (const Cube* cube : cubes) {
        if (!writer.put(CubeMasks{zeroMask(*cube), oneMask(*cube)})) return false;
    }
    return true;
}

}  // namespace qm5
