#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/reference/cube.hpp"
#include "tests/test_support.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {
namespace {

using test::Bytes;
using test::hex;

// A cube from its digits written from the highest bit down, '-' for free,
// e.g. "01-0"; positions listed in ascending order.
Cube cubeFromText(const std::string& text) {
    const auto b = static_cast<std::int32_t>(text.size());
    Cube cube;
    EXPECT_TRUE(cube.digits.allocate(static_cast<std::uint64_t>(b)));
    cube.bitCount = b;
    std::uint32_t care = 0;
    std::uint32_t value = 0;
    for (std::int32_t i = 0; i < b; ++i) {
        const char c = text[static_cast<std::size_t>(b - 1 - i)];
        const std::int32_t digit = c == '-' ? kDigitFree : c - '0';
        cube.digits[static_cast<std::size_t>(i)] = digit;
        if (digit == kDigitOne) ++cube.weight;
        if (digit != kDigitFree) care |= 1u << i;
        if (digit == kDigitOne) value |= 1u << i;
    }
    std::vector<std::int32_t> positions;
    for (std::uint32_t p = 0; p < (1u << b); ++p) {
        if ((p & care) == value) positions.push_back(static_cast<std::int32_t>(p));
    }
    EXPECT_TRUE(cube.positions.allocate(positions.size()));
    for (std::size_t k = 0; k < positions.size(); ++k) cube.positions[k] = positions[k];
    return cube;
}

std::string digitText(const Cube& cube) {
    std::string s;
    for (std::int32_t i = cube.bitCount - 1; i >= 0; --i) {
        const std::int32_t d = cube.digits[static_cast<std::size_t>(i)];
        s += d == kDigitFree ? '-' : static_cast<char>('0' + d);
    }
    return s;
}

std::vector<std::int32_t> positionsOf(const Cube& cube) { return {cube.positions.begin(), cube.positions.end()}; }

Bytes encode(const std::vector<const Cube*>& cubes, std::int32_t b) {
    Bytes data(cubeDataLength(cubes.size(), b), 0);
    EXPECT_TRUE(encodeCubes(cubes, b, data));
    return data;
}

TEST(Cube, PositionCubeOfSixWithFourBits) {
    Cube cube;
    ASSERT_EQ(makePositionCube(6, 4, cube), CubeStorage::ok);
    EXPECT_EQ(digitText(cube), "0110");
    EXPECT_EQ(cube.weight, 2);
    EXPECT_EQ(cube.bitCount, 4);
    EXPECT_EQ(cube.merged, 0);
    EXPECT_EQ(positionsOf(cube), std::vector<std::int32_t>{6});
    EXPECT_EQ(zeroMask(cube), 0b1001u);
    EXPECT_EQ(oneMask(cube), 0b0110u);
    // Most significant position bit first, into the lowest stream bit.
    EXPECT_EQ(hex(encode({&cube}, 4)), "69");
}

TEST(Cube, MergeOfFourAndSix) {
    Cube four;
    Cube six;
    ASSERT_EQ(makePositionCube(4, 4, four), CubeStorage::ok);
    ASSERT_EQ(makePositionCube(6, 4, six), CubeStorage::ok);
    EXPECT_EQ(differenceCount(four, six), 1);
    ASSERT_TRUE(canMerge(four, six));
    Cube w;
    ASSERT_EQ(mergeCubes(four, six, w), CubeStorage::ok);
    EXPECT_EQ(digitText(w), "01-0");
    EXPECT_EQ(w.weight, 1);
    EXPECT_EQ(w.merged, 0);
    EXPECT_EQ(positionsOf(w), (std::vector<std::int32_t>{4, 6}));
    EXPECT_EQ(hex(encode({&w}, 4)), "29");
    // The inputs are untouched and the order of the position lists follows u, v.
    EXPECT_EQ(positionsOf(four), std::vector<std::int32_t>{4});
    Cube reversed;
    ASSERT_EQ(mergeCubes(six, four, reversed), CubeStorage::ok);
    EXPECT_EQ(positionsOf(reversed), (std::vector<std::int32_t>{6, 4}));
    EXPECT_TRUE(sameCube(w, reversed));
}

TEST(Cube, MergeKeepsFreeDigitsAndListsEveryPositionOnce) {
    const Cube u = cubeFromText("0-0-");
    const Cube v = cubeFromText("0-1-");
    ASSERT_TRUE(canMerge(u, v));
    Cube w;
    ASSERT_EQ(mergeCubes(u, v, w), CubeStorage::ok);
    EXPECT_EQ(digitText(w), "0---");
    EXPECT_EQ(positionsOf(w), (std::vector<std::int32_t>{0, 1, 4, 5, 2, 3, 6, 7}));
}

TEST(Cube, PairsThatCannotMerge) {
    // Equal weights, two differing digits.
    const Cube a = cubeFromText("0-01");
    const Cube b = cubeFromText("0-10");
    EXPECT_EQ(differenceCount(a, b), 2);
    EXPECT_FALSE(canMerge(a, b));
    // A free digit against a fixed one counts as a difference.
    const Cube c = cubeFromText("0-01");
    const Cube d = cubeFromText("00-1");
    EXPECT_EQ(differenceCount(c, d), 2);
    EXPECT_FALSE(canMerge(c, d));
    // Weights one apart but the free digits differ: 0-1 against -00.
    EXPECT_FALSE(canMerge(cubeFromText("0-1"), cubeFromText("-00")));
    EXPECT_FALSE(canMerge(a, a));
}

TEST(Cube, SameCubeComparesBitCountAndDigits) {
    EXPECT_TRUE(sameCube(cubeFromText("1-0"), cubeFromText("1-0")));
    EXPECT_FALSE(sameCube(cubeFromText("1-0"), cubeFromText("1-1")));
    EXPECT_FALSE(sameCube(cubeFromText("1-0"), cubeFromText("01-0")));
}

TEST(Cube, CountPairsCountsEveryMergedState) {
    CubeLevel level;
    ASSERT_TRUE(level.reserve(4, nullptr));
    for (std::int32_t p = 0; p < 4; ++p) {
        Cube cube;
        ASSERT_EQ(makePositionCube(p, 2, cube), CubeStorage::ok);
        cube.merged = p & 1;
        level.append(std::move(cube));
    }
    // 0-1, 0-2, 1-3, 2-3; never 0-3 or 1-2.
    EXPECT_EQ(countPairs(level), 4);
}

TEST(Cube, EncodesRecordExamples) {
    // b = 4: 00-- then --00.
    const Cube top = cubeFromText("00--");
    const Cube left = cubeFromText("--00");
    EXPECT_EQ(hex(encode({&top, &left}, 4)), "03 0C");
    // b = 3: Z = 4, O = 0 then Z = 0, O = 1.
    const Cube high = cubeFromText("0--");
    const Cube low = cubeFromText("--1");
    EXPECT_EQ(hex(encode({&high, &low}, 3)), "01 08");
}

TEST(Cube, FiveBitCubesLeaveTheLastBitsZero) {
    const Cube full = cubeFromText("10110");  // every digit fixed: all 10 bits of the cube used
    const Bytes data = encode({&full, &full, &full}, 5);
    ASSERT_EQ(data.size(), 4u) << "got " << hex(data);
    EXPECT_EQ(data[3] & 0xC0, 0) << "bits 30 and 31 must stay 0, got " << hex(data);
    for (std::uint64_t k = 0; k < 3; ++k) {
        const CubeMasks read = readCube(data, 5, k);
        EXPECT_EQ(read.zero, zeroMask(full)) << "cube " << k;
        EXPECT_EQ(read.one, oneMask(full)) << "cube " << k;
    }
    EXPECT_EQ(cubeCountOf(data.size(), 5), 3u);
}

TEST(Cube, StreamedCubesReadBackForEveryBitCount) {
    // Odd counts of cubes put the masks at every bit offset of a byte.
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int b = 1; b <= 30; ++b) {
        const std::uint32_t all = (std::uint32_t{1} << b) - 1;
        std::vector<CubeMasks> cubes(9);
        for (CubeMasks& cube : cubes) {
            const std::uint32_t care = next() & all;
            cube = CubeMasks{care & ~next(), 0};
            cube.one = care & ~cube.zero;
        }
        Bytes data(cubeDataLength(cubes.size(), b), 0);
        CubeStreamWriter writer(data, b);
        for (const CubeMasks& cube : cubes) ASSERT_TRUE(writer.put(cube)) << "b = " << b;
        std::size_t put = cubes.size();
        while (writer.put(cubes[0])) ++put;
        EXPECT_EQ(put, data.size() * 8 / (2 * static_cast<std::size_t>(b))) << "b = " << b << ": cubes that fit";
        for (std::size_t k = 0; k < cubes.size(); ++k) {
            const CubeMasks got = readCube(data, b, k);
            EXPECT_EQ(got, cubes[k]) << "b = " << b << ", cube " << k << ": got " << got.zero << "/" << got.one
                                     << ", want " << cubes[k].zero << "/" << cubes[k].one;
        }
    }
}

TEST(Cube, EncodeRefusesDataOfTheWrongSize) {
    const Cube cube = cubeFromText("0110");
    const std::vector<const Cube*> one{&cube};
    Bytes tooShort(0);
    Bytes tooLong(2, 0);
    EXPECT_FALSE(encodeCubes(one, 4, tooShort));
    EXPECT_FALSE(encodeCubes(one, 4, tooLong));
}

TEST(Cube, ReportsWhichStorageFailed) {
    Cube cube;
    AllocationGate digitsFail{1, 0};
    EXPECT_EQ(makePositionCube(3, 4, cube, &digitsFail), CubeStorage::noDigits);
    EXPECT_FALSE(cube.holdsStorage());
    AllocationGate positionsFail{2, 0};
    EXPECT_EQ(makePositionCube(3, 4, cube, &positionsFail), CubeStorage::noPositions);
    EXPECT_FALSE(cube.holdsStorage());

    const Cube u = cubeFromText("0011");
    const Cube v = cubeFromText("0111");
    Cube w;
    AllocationGate mergePositionsFail{1, 0};
    EXPECT_EQ(mergeCubes(u, v, w, &mergePositionsFail), CubeStorage::noPositions);
    AllocationGate mergeDigitsFail{2, 0};
    EXPECT_EQ(mergeCubes(u, v, w, &mergeDigitsFail), CubeStorage::noDigits);
    EXPECT_FALSE(w.holdsStorage());

    CubeLevel level;
    AllocationGate levelFail{1, 0};
    EXPECT_FALSE(level.reserve(8, &levelFail));
    EXPECT_EQ(level.capacity, 0);
}

}  // namespace
}  // namespace qm5
