#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "maker/console.hpp"
#include "tests/reference/function_minimiser.hpp"
#include "tests/captured_console.hpp"
#include "tests/test_support.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {
namespace {

using test::Bytes;
using test::CapturedConsole;
using test::hex;
using Table = std::vector<std::int32_t>;

constexpr std::int32_t OFF = 0;
constexpr std::int32_t ON = 1;
constexpr std::int32_t DC = 2;

Bytes recordOf(const FunctionMinimiser& m) { return {m.record().begin(), m.record().end()}; }

std::string minimiseHex(const Table& table) {
    FunctionMinimiser m;
    if (!m.minimise(static_cast<std::int32_t>(table.size()), table.data())) return "failed";
    return hex(recordOf(m));
}

// A 16-entry table (b = 4), all off but for the given entries.
Table table16(std::initializer_list<std::pair<int, int>> ranges, std::int32_t value, Table table = Table(16, OFF)) {
    for (auto [from, to] : ranges) {
        for (int p = from; p <= to; ++p) table[static_cast<std::size_t>(p)] = value;
    }
    return table;
}

// Reads a record back the way the tester does and checks everything the
// writer guarantees for this table.
::testing::AssertionResult validRecord(const Table& table, const Bytes& record) {
    const auto size = static_cast<std::uint32_t>(table.size());
    const int b = positionBitCount(size);
    std::uint32_t nonOff = 0;
    for (std::int32_t v : table) nonOff += v != OFF;
    if (nonOff == 0) {
        if (hex(record) != "00 00 00") return ::testing::AssertionFailure() << "got " << hex(record) << ", want 00 00 00";
        return ::testing::AssertionSuccess();
    }
    if (nonOff == size) {
        if (hex(record) != "80 00 00") return ::testing::AssertionFailure() << "got " << hex(record) << ", want 80 00 00";
        return ::testing::AssertionSuccess();
    }
    if (record.size() < 3) return ::testing::AssertionFailure() << "short record " << hex(record);
    const RecordHead head = RecordHead::from(record);
    if (!head.isGeneral() || head.bitCount() != b) {
        return ::testing::AssertionFailure() << "head " << hex(record.data(), 3) << " for b = " << b;
    }
    const std::uint32_t length = head.dataLength();
    if (record.size() != 3 + length) {
        return ::testing::AssertionFailure() << "got " << record.size() << " bytes, head says " << 3 + length;
    }
    const std::span<const std::uint8_t> data(record.data() + 3, length);
    std::vector<CubeMasks> cubes;
    bool fill = false;
    for (std::uint64_t k = 0; k < cubeCountOf(length, b); ++k) {
        const CubeMasks c = readCube(data, b, k);
        if (c.zero == 0 && c.one == 0) {
            fill = true;  // padding of the last byte read as a cube
            continue;
        }
        if (fill) return ::testing::AssertionFailure() << "cube " << k << " after a cube with both masks zero";
        if ((c.zero & c.one) != 0) return ::testing::AssertionFailure() << "cube " << k << " has a bit in both masks";
        cubes.push_back(c);
    }
    if (cubeDataLength(cubes.size(), b) != length) {
        return ::testing::AssertionFailure() << cubes.size() << " cubes in " << length << " bytes";
    }
    int lastFree = b;
    for (std::size_t k = 0; k < cubes.size(); ++k) {
        const int free = b - std::popcount(cubes[k].zero | cubes[k].one);
        if (free > lastFree) return ::testing::AssertionFailure() << "cube " << k << " is larger than the one before";
        lastFree = free;
        for (std::size_t l = 0; l < k; ++l) {
            if (cubes[l] == cubes[k]) return ::testing::AssertionFailure() << "cube " << k << " repeats cube " << l;
        }
    }
    for (std::uint32_t p = 0; p < size; ++p) {
        bool covered = false;
        for (const CubeMasks& c : cubes) covered = covered || c.covers(p);
        if (table[p] == ON && !covered) return ::testing::AssertionFailure() << "on position " << p << " not covered";
        if (table[p] == OFF && covered) return ::testing::AssertionFailure() << "off position " << p << " covered";
    }
    return ::testing::AssertionSuccess();
}

TEST(FunctionMinimiser, WorkedExampleWithThreeBits) {
    // On at 0, 1, 2, 3, 5; don't care at 7; off at 4, 6: cubes 0-- then --1.
    const Table table{ON, ON, ON, ON, OFF, ON, OFF, DC};
    FunctionMinimiser m;
    ASSERT_TRUE(m.minimise(8, table.data()));
    EXPECT_EQ(hex(recordOf(m)), "00 02 03 01 08");
    EXPECT_EQ(m.dataLength(), 2);
    EXPECT_EQ(m.bitCount(), 3);
    EXPECT_EQ(m.status(), MinimiseStatus::ok);
}

TEST(FunctionMinimiser, FourByFourExamples) {
    // Top two rows: 0---.
    EXPECT_EQ(minimiseHex(table16({{0, 7}}, ON)), "00 01 04 01");
    // Top row and left column: 00-- then --00.
    EXPECT_EQ(minimiseHex(table16({{0, 3}, {4, 4}, {8, 8}, {12, 12}}, ON)), "00 02 04 03 0C");
    // The same with the top row don't care: --00 alone.
    EXPECT_EQ(minimiseHex(table16({{0, 3}}, DC, table16({{4, 4}, {8, 8}, {12, 12}}, ON))), "00 01 04 0C");
    // Don't care 0..7, on 8..11: -0-- takes in the don't cares; 0--- (all
    // don't care) is skipped.
    EXPECT_EQ(minimiseHex(table16({{0, 7}}, DC, table16({{8, 11}}, ON))), "00 01 04 02");
    // Don't care 0..7, the rest off: no cube at all.
    EXPECT_EQ(minimiseHex(table16({{0, 7}}, DC)), "00 00 04");
}

TEST(FunctionMinimiser, CubeWithOnlyNewDontCaresIsStillChosen) {
    // On 0..3, don't care 4 and 5, off 6 and 7. Level 2 holds 0-- then -0-.
    // 0-- covers the whole on set, yet -0- is chosen too: its positions 4 and
    // 5 are not yet covered, although both are don't cares.
    const Table table{ON, ON, ON, ON, DC, DC, OFF, OFF};
    EXPECT_EQ(minimiseHex(table), "00 02 03 81 00");
}

TEST(FunctionMinimiser, SpecialHeads) {
    EXPECT_EQ(minimiseHex(Table(16, OFF)), "00 00 00");
    EXPECT_EQ(minimiseHex(Table(16, ON)), "80 00 00");
    EXPECT_EQ(minimiseHex(Table(16, DC)), "80 00 00");
    EXPECT_EQ(minimiseHex(table16({{0, 9}}, DC, Table(16, ON))), "80 00 00");
    // A one-pixel image: b = 0, always a special head.
    EXPECT_EQ(minimiseHex({OFF}), "00 00 00");
    EXPECT_EQ(minimiseHex({ON}), "80 00 00");
    EXPECT_EQ(minimiseHex({DC}), "80 00 00");
    FunctionMinimiser m;
    ASSERT_TRUE(m.minimise(1, Table{ON}.data()));
    EXPECT_EQ(m.bitCount(), 0);
    EXPECT_EQ(m.dataLength(), 0);
}

TEST(FunctionMinimiser, SingleOnPositionIsOneFixedCube) {
    for (std::int32_t b = 1; b <= 8; ++b) {
        const std::int32_t size = 1 << b;
        const std::int32_t p = size / 3;
        Table table(static_cast<std::size_t>(size), OFF);
        table[static_cast<std::size_t>(p)] = ON;
        FunctionMinimiser m;
        ASSERT_TRUE(m.minimise(size, table.data())) << "b = " << b;
        const Bytes record = recordOf(m);
        EXPECT_EQ(m.dataLength(), (2 * b + 7) / 8) << "b = " << b;
        ASSERT_EQ(record.size(), 3u + static_cast<std::size_t>(m.dataLength()));
        const CubeMasks cube = readCube(std::span(record).subspan(3), b, 0);
        const auto all = static_cast<std::uint32_t>(size - 1);
        EXPECT_EQ(cube.one, static_cast<std::uint32_t>(p)) << "b = " << b;
        EXPECT_EQ(cube.zero, all & ~static_cast<std::uint32_t>(p)) << "b = " << b;
    }
}

TEST(FunctionMinimiser, OnlyTheFirstPowerOfTwoEntriesCount) {
    // Six entries: b = 2, entries 4 and 5 are not read.
    const Table table{ON, OFF, OFF, OFF, ON, ON};
    FunctionMinimiser m;
    ASSERT_TRUE(m.minimise(6, table.data()));
    EXPECT_EQ(m.bitCount(), 2);
    EXPECT_TRUE(validRecord(Table(table.begin(), table.begin() + 4), recordOf(m)));
}

TEST(FunctionMinimiser, RejectsTablesWithoutEntries) {
    FunctionMinimiser m;
    const Table table{ON};
    EXPECT_FALSE(m.minimise(0, table.data()));
    EXPECT_EQ(m.status(), MinimiseStatus::invalidTable);
    EXPECT_FALSE(m.minimise(-4, table.data()));
    EXPECT_FALSE(m.minimise(1, nullptr));
    EXPECT_TRUE(m.record().empty());
}

TEST(FunctionMinimiser, SecondRunStartsAfresh) {
    FunctionMinimiser m;
    ASSERT_TRUE(m.minimise(16, table16({{0, 7}}, ON).data()));
    const Table single{OFF, ON};
    ASSERT_TRUE(m.minimise(2, single.data()));
    EXPECT_EQ(hex(recordOf(m)), "00 01 01 02");  // Z = 0, O = 1
    EXPECT_EQ(m.bitCount(), 1);
}

TEST(FunctionMinimiser, RecordLongerThanTheHeadCanStateFails) {
    const Table table{ON, ON, ON, ON, OFF, ON, OFF, DC};  // 2 data bytes
    FunctionMinimiser exact;
    exact.limitDataLengthForTesting(2);
    EXPECT_TRUE(exact.minimise(8, table.data()));
    FunctionMinimiser tight;
    tight.limitDataLengthForTesting(1);
    EXPECT_FALSE(tight.minimise(8, table.data()));
    EXPECT_EQ(tight.status(), MinimiseStatus::recordTooLong);
    EXPECT_TRUE(tight.record().empty());
    EXPECT_EQ(tight.dataLength(), 0);
}

// Runs the minimiser with each of its allocations failing in turn and checks
// each case of the failure table: message, result and a sound cover when the
// run goes on. LeakSanitizer checks that everything made is released.
void sweepAllocationFailures(const Table& table, std::set<std::string>& messagesSeen) {
    FunctionMinimiser clean;
    ASSERT_TRUE(clean.minimise(static_cast<std::int32_t>(table.size()), table.data()));
    const Bytes cleanRecord = recordOf(clean);
    const std::uint64_t total = clean.allocationCount();
    ASSERT_GE(total, 2u);
    for (std::uint64_t n = 1; n <= total; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total) + " fails");
        CapturedConsole out;
        FunctionMinimiser m(out.sink());
        m.failAllocationForTesting(n);
        const bool ok = m.minimise(static_cast<std::int32_t>(table.size()), table.data());
        const std::string said = out.text();
        messagesSeen.insert(said);
        if (ok) {
            EXPECT_TRUE(said.empty() || said == "Nedostatek pameti [1] !\n") << "got \"" << said << "\"";
            EXPECT_TRUE(validRecord(table, recordOf(m)));
            continue;
        }
        EXPECT_EQ(m.status(), MinimiseStatus::outOfMemory);
        EXPECT_TRUE(m.record().empty());
        EXPECT_EQ(m.dataLength(), 0);
        if (n == 1) {
            EXPECT_EQ(said, "");  // the copy of the table
            EXPECT_EQ(m.bitCount(), 0);
        } else if (n == total) {
            EXPECT_EQ(said, "");  // the record
        } else if (n == 2) {
            EXPECT_EQ(said, "Malo pameti pro kraceni funkce !");
        } else if (n == 3) {
            EXPECT_EQ(said, " ERROR : Unepected error !\n");
        } else {
            // Positions of a level-0 cube, the cover table or the selection.
            EXPECT_TRUE(said == " ERROR : Not enough memory !\n" || said == " ERROR : Unepected error !\n")
                << "got \"" << said << "\"";
        }
    }
    // With no failure the same record comes back.
    FunctionMinimiser again;
    ASSERT_TRUE(again.minimise(static_cast<std::int32_t>(table.size()), table.data()));
    EXPECT_EQ(hex(recordOf(again)), hex(cleanRecord));
}

TEST(FunctionMinimiser, EveryAllocationFailureIsHandled) {
    std::set<std::string> seen;
    sweepAllocationFailures({ON, ON, ON, ON, OFF, ON, OFF, DC}, seen);
    sweepAllocationFailures(table16({{0, 3}}, DC, table16({{4, 4}, {8, 8}, {12, 12}}, ON)), seen);
    Table mixed(32, OFF);
    for (std::size_t p = 0; p < mixed.size(); ++p) mixed[p] = static_cast<std::int32_t>((p * 7 + p / 5) % 3);
    sweepAllocationFailures(mixed, seen);
    for (const char* message : {"", "Malo pameti pro kraceni funkce !", " ERROR : Unepected error !\n",
                                " ERROR : Not enough memory !\n", "Nedostatek pameti [1] !\n"}) {
        EXPECT_TRUE(seen.count(message)) << "no failure printed \"" << message << "\"";
    }
    EXPECT_EQ(seen.size(), 5u);
}

TEST(FunctionMinimiser, SpecialHeadsFailOnlyForTheirRecord) {
    for (std::int32_t value : {OFF, ON}) {
        const Table table(8, value);
        CapturedConsole out;
        FunctionMinimiser m(out.sink());
        m.failAllocationForTesting(2);
        EXPECT_FALSE(m.minimise(8, table.data()));
        EXPECT_EQ(m.status(), MinimiseStatus::outOfMemory);
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(m.allocationCount(), 2u);
    }
}

TEST(FunctionMinimiser, FailedLevelEndsMergingButKeepsACover) {
    // Top two rows on: with the first merged level refused, the cover is made
    // of single positions. Allocation 1 is the table, 2 the level-0 array,
    // then two per cube (8 cubes), then the level-1 object.
    const Table table = table16({{0, 7}}, ON);
    CapturedConsole out;
    FunctionMinimiser m(out.sink());
    m.failAllocationForTesting(2 + 2 * 8 + 1);
    ASSERT_TRUE(m.minimise(16, table.data()));
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(m.dataLength(), 8) << "8 fixed cubes of 8 bits, got " << hex(recordOf(m));
    EXPECT_TRUE(validRecord(table, recordOf(m)));
}

TEST(FunctionMinimiser, RandomTablesGiveSoundCovers) {
    std::mt19937 random(20240611);
    const auto started = std::chrono::steady_clock::now();
    int tables = 0;
    for (int b = 0; b <= 8; ++b) {
        const int size = 1 << b;
        // Fewer tables for the large sizes: a dense b = 8 table makes
        // thousands of cubes.
        const int rounds = b <= 5 ? 60 : b <= 7 ? 16 : 6;
        for (int round = 0; round < rounds; ++round) {
            // Shares of on and don't care from sparse to dense.
            const int onShare = static_cast<int>(random() % 101);
            const int dcShare = static_cast<int>(random() % static_cast<unsigned>(101 - onShare));
            Table table(static_cast<std::size_t>(size));
            for (auto& entry : table) {
                const int roll = static_cast<int>(random() % 100);
                entry = roll < onShare ? ON : roll < onShare + dcShare ? DC : OFF;
            }
            FunctionMinimiser m;
            ASSERT_TRUE(m.minimise(size, table.data())) << "b = " << b << ", round " << round;
            EXPECT_EQ(m.bitCount(), b);
            const Bytes record = recordOf(m);
            EXPECT_EQ(record.size(), 3u + static_cast<std::size_t>(m.dataLength()));
            EXPECT_TRUE(validRecord(table, record)) << "b = " << b << ", round " << round << ", record " << hex(record);
            ++tables;
        }
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    RecordProperty("tables", tables);
    EXPECT_LT(seconds, 60.0) << "random tables took " << seconds << " s";
}

}  // namespace
}  // namespace qm5
