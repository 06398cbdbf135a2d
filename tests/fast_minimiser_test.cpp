// FastMinimiser against the reference FunctionMinimiser, table by table:
// byte-identical records on hand-worked and random tables, for the
// per-colour and top-down engines and every tuning. Longer than most files:
// the rule the engines rest on is written out here, plainly, as the oracle
// of every differential run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "tests/reference/fast_minimiser.hpp"
#include "tests/reference/function_minimiser.hpp"
#include "tests/test_support.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {
namespace {

using test::Bytes;
using test::hex;
using Table = std::vector<std::int32_t>;
using Engine = MinimiserEngine;

Bytes bytesOf(std::span<const std::uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

struct Outcome {
    bool ok = false;
    MinimiseStatus status = MinimiseStatus::ok;
    Bytes record;
    std::int32_t dataLength = 0;
};

// Either minimiser: both take a table and give a record the same way.
template <class Minimiser>
Outcome outcomeOf(Minimiser& minimiser, const Table& table) {
    Outcome out;
    out.ok = minimiser.minimise(static_cast<std::int32_t>(table.size()), table.data());
    out.status = minimiser.status();
    out.record = bytesOf(minimiser.record());
    out.dataLength = minimiser.dataLength();
    return out;
}

Outcome reference(const Table& table, std::int64_t maxDataLength = 65535) {
    FunctionMinimiser minimiser;
    minimiser.limitDataLengthForTesting(maxDataLength);
    return outcomeOf(minimiser, table);
}

Outcome fast(FastMinimiser& minimiser, const Table& table) { return outcomeOf(minimiser, table); }

Outcome fast(const Table& table, const FastTuning& tuning = {}) {
    FastMinimiser minimiser;
    minimiser.setTuningForTesting(tuning);
    return fast(minimiser, table);
}

// The rule the fast engines rest on, written out plainly: every prime
// implicant of the non-off set, visited by free digits (descending), one
// mask (ascending), the list of free bit indices (lexicographically); a
// prime is written unless all its positions are don't cares or all are
// covered already. Longer than most, on purpose: the oracle is the rule
// written out step by step, without the engines' shortcuts.
Bytes ruleRecord(const Table& table) {
    int b = 0;
    while ((std::size_t{2} << b) <= table.size()) ++b;
    const std::uint32_t size = 1u << b;
    std::uint32_t nonOff = 0;
    for (std::uint32_t p = 0; p < size; ++p) nonOff += table[p] != 0;
    if (nonOff == 0) return {0x00, 0x00, 0x00};
    if (nonOff == size) return {0x80, 0x00, 0x00};

    struct Prime {
        std::uint32_t care, one;
        std::vector<int> freeBits;
    };
    auto inside = [&](std::uint32_t care, std::uint32_t one) {
        for (std::uint32_t p = 0; p < size; ++p) {
            if ((p & care) == one && table[p] == 0) return false;
        }
        return true;
    };
    std::vector<Prime> primes;
    for (std::uint32_t care = 0; care < size; ++care) {
        for (std::uint32_t one = 0; one < size; ++one) {
            if ((one & ~care) != 0 || !inside(care, one)) continue;
            bool prime = true;
            for (int i = 0; i < b && prime; ++i) {
                const std::uint32_t bit = 1u << i;
                if ((care & bit) != 0 && inside(care & ~bit, one & ~bit)) prime = false;
            }
            if (!prime) continue;
            Prime q{care, one, {}};
            for (int i = 0; i < b; ++i) {
                if ((care >> i & 1u) == 0) q.freeBits.push_back(i);
            }
            primes.push_back(q);
        }
    }
    std::sort(primes.begin(), primes.end(), [](const Prime& x, const Prime& y) {
        if (x.freeBits.size() != y.freeBits.size()) return x.freeBits.size() > y.freeBits.size();
        if (x.one != y.one) return x.one < y.one;
        return x.freeBits < y.freeBits;
    });
    std::vector<bool> covered(size);
    std::vector<CubeMasks> chosen;
    for (const Prime& q : primes) {
        bool allDontCare = true;
        bool allCovered = true;
        for (std::uint32_t p = 0; p < size; ++p) {
            if ((p & q.care) != q.one) continue;
            allDontCare = allDontCare && table[p] == 2;
            allCovered = allCovered && covered[p];
        }
        if (allDontCare || allCovered) continue;
        for (std::uint32_t p = 0; p < size; ++p) {
            if ((p & q.care) == q.one) covered[p] = true;
        }
        chosen.push_back({q.care & ~q.one, q.one});
    }
    const std::uint64_t length = cubeDataLength(chosen.size(), b);
    Bytes record(3 + length);
    const RecordHead head = RecordHead::general(static_cast<std::uint32_t>(length), b);
    head.write(record.data());
    CubeStreamWriter writer(std::span<std::uint8_t>(record).subspan(3), b);
    for (const CubeMasks& cube : chosen) writer.put(cube);
    return record;
}

Table randomTable(int b, int onPercent, int dontCarePercent, std::mt19937& rng) {
    Table table(std::size_t{1} << b);
    for (auto& entry : table) {
        const int r = static_cast<int>(rng() % 100);
        entry = r < onPercent ? 1 : r < onPercent + dontCarePercent ? 2 : 0;
    }
    return table;
}

Table tableOf(int b, const std::vector<int>& on, const std::vector<int>& dontCare) {
    Table table(std::size_t{1} << b, 0);
    for (int p : on) table[static_cast<std::size_t>(p)] = 1;
    for (int p : dontCare) table[static_cast<std::size_t>(p)] = 2;
    return table;
}

TEST(FastMinimiser, WritesTheRecordsOfHandWorkedTables) {
    struct Case {
        const char* what;
        Table table;
        const char* want;
    };
    std::vector<int> top, topAndLeft = {0, 1, 2, 3, 4, 8, 12};
    const std::vector<Case> cases = {
        {"b = 3 worked example", tableOf(3, {0, 1, 2, 3, 5}, {7}), "00 02 03 01 08"},
        {"top two rows", tableOf(4, {0, 1, 2, 3, 4, 5, 6, 7}, {}), "00 01 04 01"},
        {"top row and left column", tableOf(4, topAndLeft, {}), "00 02 04 03 0C"},
        {"left column, top row don't care", tableOf(4, {4, 8, 12}, {0, 1, 2, 3}), "00 01 04 0C"},
        {"third row, first two don't care", tableOf(4, {8, 9, 10, 11}, {0, 1, 2, 3, 4, 5, 6, 7}), "00 01 04 02"},
        {"only don't cares besides off", tableOf(4, {}, {0, 1, 2, 3, 4, 5, 6, 7}), "00 00 04"},
        {"all off", tableOf(4, {}, {}), "00 00 00"},
        {"nothing off", tableOf(2, {0, 3}, {1, 2}), "80 00 00"},
        {"only don't cares", tableOf(2, {}, {0, 1, 2, 3}), "80 00 00"},
        {"one pixel on", tableOf(0, {0}, {}), "80 00 00"},
        {"one pixel off", tableOf(0, {}, {}), "00 00 00"},
        {"one position of b = 5", tableOf(5, {22}, {}), "00 02 05 B2 01"},
    };
    for (const Case& c : cases) {
        const Outcome got = fast(c.table);
        EXPECT_TRUE(got.ok) << c.what;
        EXPECT_EQ(hex(got.record), c.want) << c.what << ": got " << hex(got.record) << ", want " << c.want;
        EXPECT_EQ(got.dataLength + 3, static_cast<std::int32_t>(got.record.size())) << c.what;
        EXPECT_EQ(reference(c.table).record, got.record) << c.what << ": the reference disagrees";
    }
}

TEST(FastMinimiser, ReferenceWritesTheGreedyCoverOfPrimes) {
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        const int b = round % 7;
        const Table table = randomTable(b, static_cast<int>(rng() % 70), static_cast<int>(rng() % 60), rng);
        const Bytes want = ruleRecord(table);
        ASSERT_EQ(reference(table).record, want) << "round " << round << ", b = " << b << ": reference got "
                                                 << hex(reference(table).record) << ", rule " << hex(want);
        ASSERT_EQ(fast(table).record, want) << "round " << round << ", b = " << b;
    }
}

TEST(FastMinimiser, MatchesTheReferenceOnRandomTables) {
    FastTuning smallBlocks;
    smallBlocks.blockVars = 3;
    FastTuning ranges;
    ranges.keyChunk = 5;
    FastTuning topDown;
    topDown.engine = Engine::topDown;
    FastTuning topDownRanges = ranges;
    topDownRanges.engine = Engine::topDown;
    const FastTuning tunings[] = {FastTuning{}, smallBlocks, ranges, topDown, topDownRanges};
    FastMinimiser reused;  // one object over tables of every size
    std::mt19937 rng(2024);
    for (int b = 0; b <= 10; ++b) {
        // The reference needs seconds on dense tables of b = 10 (minutes
        // under the sanitizers): the larger tables are sparser.
        const int rounds = b <= 8 ? 20 : 6;
        const int density = b <= 6 ? 100 : b <= 8 ? 60 : 35;
        for (int round = 0; round < rounds; ++round) {
            const int onPercent = static_cast<int>(rng() % static_cast<unsigned>(density));
            const int dontCarePercent = round % 3 == 0 ? 0 : static_cast<int>(rng() % static_cast<unsigned>(density - onPercent + 1));
            const Table table = randomTable(b, onPercent, dontCarePercent, rng);
            const Outcome want = reference(table);
            ASSERT_TRUE(want.ok);
            for (const FastTuning& tuning : tunings) {
                const Outcome got = fast(table, tuning);
                ASSERT_TRUE(got.ok) << "b = " << b << ", round " << round;
                ASSERT_EQ(got.record, want.record) << "b = " << b << ", round " << round << ", on " << onPercent
                                                   << "%, don't care " << dontCarePercent << "%: got " << hex(got.record)
                                                   << ", want " << hex(want.record);
                ASSERT_EQ(got.dataLength, want.dataLength);
            }
            ASSERT_EQ(fast(reused, table).record, want.record) << "reused object, b = " << b << ", round " << round;
        }
    }
}

TEST(FastMinimiser, TakesEntryCountsAndCodesAsTheReferenceDoes) {
    std::mt19937 rng(5);
    // Not a power of two: the first 2^floor(log2 n) entries count.
    for (const int count : {2, 3, 24, 100, 1000}) {
        Table table = randomTable(10, 30, 30, rng);
        table.resize(static_cast<std::size_t>(count));
        const Outcome want = reference(table);
        const Outcome got = fast(table);
        EXPECT_EQ(got.record, want.record) << count << " entries: got " << hex(got.record) << ", want " << hex(want.record);
    }
    // Codes other than 0 and 2 are on, as in the reference.
    Table odd = randomTable(6, 30, 30, rng);
    odd[3] = 5;
    odd[17] = -7;
    EXPECT_EQ(fast(odd).record, reference(odd).record);

    FastMinimiser minimiser;
    const std::int32_t one = 1;
    for (const std::int32_t count : {0, -5}) {
        EXPECT_FALSE(minimiser.minimise(count, &one)) << count;
        EXPECT_EQ(minimiser.status(), MinimiseStatus::invalidTable);
        EXPECT_TRUE(minimiser.record().empty());
    }
    EXPECT_FALSE(minimiser.minimise(4, nullptr));
    EXPECT_EQ(minimiser.status(), MinimiseStatus::invalidTable);
}

TEST(FastMinimiser, RefusesRecordsLongerThanTheHeadCanState) {
    // The 32768 positions of even weight at b = 16: no two are neighbours,
    // so every one is a cube of its own, 131072 data bytes.
    Table parity(std::size_t{1} << 16);
    for (std::size_t p = 0; p < parity.size(); ++p) parity[p] = std::popcount(p) % 2 == 0 ? 1 : 0;
    FastMinimiser minimiser;
    EXPECT_FALSE(minimiser.minimise(static_cast<std::int32_t>(parity.size()), parity.data()));
    EXPECT_EQ(minimiser.status(), MinimiseStatus::recordTooLong);
    EXPECT_TRUE(minimiser.record().empty());
    EXPECT_EQ(minimiser.dataLength(), 0);

    // At the limit, exactly as the reference.
    std::mt19937 rng(9);
    const Table table = randomTable(8, 20, 10, rng);
    const std::int32_t length = reference(table).dataLength;
    ASSERT_GT(length, 1);
    for (const std::int64_t limit : {std::int64_t{length}, std::int64_t{length} - 1}) {
        FastTuning tuning;
        tuning.maxDataLength = limit;
        const Outcome want = reference(table, limit);
        const Outcome got = fast(table, tuning);
        EXPECT_EQ(got.ok, want.ok) << "limit " << limit;
        EXPECT_EQ(got.status, want.status) << "limit " << limit;
        EXPECT_EQ(got.record, want.record) << "limit " << limit;
    }
}

}  // namespace
}  // namespace qm5
