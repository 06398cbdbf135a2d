// The fast minimisers against the reference FunctionMinimiser: byte-identical
// records on random tables and on the tables of pictures, for every engine,
// tuning and thread count. Longer than most files: the rule the engines rest
// on is written out here, plainly, as the oracle of every differential run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "minimiser/fast_minimiser.hpp"
#include "minimiser/function_minimiser.hpp"
#include "tests/synthetic_picture.hpp"
#include "tests/test_support.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {
namespace {

using test::Bytes;
using test::hex;
using Table = std::vector<std::int32_t>;
using Engine = FastTuning::Engine;

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
// covered already.
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

// ---------------------------------------------------------------------------
// Pictures: colour c's table is on = index c, don't care = index below c or
// a position past P, off = index above c.

struct Picture {
    std::string name;
    std::vector<std::uint32_t> indices;
    std::uint32_t colours;
};

std::vector<Bytes> referenceRecords(const Picture& picture) {
    const int b = positionBitCount(picture.indices.size());
    std::vector<Bytes> records;
    Table table(std::size_t{1} << b, 2);
    for (std::uint32_t c = 0; c < picture.colours; ++c) {
        for (std::size_t p = 0; p < picture.indices.size(); ++p) {
            const std::uint32_t index = picture.indices[p];
            table[p] = index == c ? 1 : index < c ? 2 : 0;
        }
        records.push_back(reference(table).record);
    }
    return records;
}

struct Compressed {
    MinimiseStatus status = MinimiseStatus::ok;
    std::uint32_t failed = 0;
    std::vector<Bytes> records;
};

Compressed compress(const Picture& picture, unsigned threads, const FastTuning& tuning, std::uint32_t stopAfter = ~0u) {
    PictureCompressor compressor;
    compressor.setTuningForTesting(tuning);
    CompressOptions options;
    options.threads = threads;
    Compressed out;
    std::uint32_t expected = 0;
    out.status = compressor.compress(picture.indices.data(), picture.indices.size(), picture.colours, options,
                                     [&](std::uint32_t c, std::span<const std::uint8_t> record) {
                                         EXPECT_EQ(c, expected++) << "colours must arrive in order";
                                         out.records.push_back(bytesOf(record));
                                         return c < stopAfter;
                                     });
    out.failed = compressor.failedColour();
    return out;
}

// Paints the records from the last colour to the first, as a reader does.
std::vector<std::uint32_t> paint(const std::vector<Bytes>& records, std::size_t pixels) {
    std::vector<std::uint32_t> image(pixels, ~0u);
    const int b = positionBitCount(pixels);
    for (std::size_t c = records.size(); c-- > 0;) {
        const Bytes& r = records[c];
        const RecordHead head = RecordHead::from(r);
        if (head.isWhole()) std::fill(image.begin(), image.end(), static_cast<std::uint32_t>(c));
        if (!head.isGeneral()) continue;
        EXPECT_EQ(head.bitCount(), b);
        const std::span<const std::uint8_t> data(r.data() + 3, r.size() - 3);
        for (std::uint64_t k = 0; k < cubeCountOf(data.size(), b); ++k) {
            const CubeMasks cube = readCube(data, b, k);
            const std::uint32_t free = ~(cube.zero | cube.one) & ((1u << b) - 1);
            std::uint32_t sub = 0;
            do {
                if ((cube.one | sub) < pixels) image[cube.one | sub] = static_cast<std::uint32_t>(c);
                sub = (sub - free) & free;
            } while (sub != 0);
        }
    }
    return image;
}

struct Variant {
    const char* name;
    Engine engine;
    FastTuning tuning;
};

std::vector<Variant> variants() {
    std::vector<Variant> v;
    v.push_back({"per colour", Engine::perColour, {}});
    v.push_back({"all colours", Engine::allColours, {}});
    FastTuning small;
    small.blockVars = 3;  // blocks of 27 cubes: the passes over the whole array run
    small.slabVars = 4;   // many slabs with free high digits
    v.push_back({"per colour, small blocks", Engine::perColour, small});
    v.push_back({"all colours, small blocks and slabs", Engine::allColours, small});
    FastTuning batches;
    batches.keyChunk = 40;  // primes kept in batches of colours, or one colour range by range
    v.push_back({"per colour, ranges", Engine::perColour, batches});
    v.push_back({"all colours, batches", Engine::allColours, batches});
    v.push_back({"top down", Engine::topDown, {}});
    v.push_back({"top down, ranges", Engine::topDown, batches});
    // Top-down first under a budget, then either engine for the colours left.
    v.push_back({"automatic", Engine::automatic, {}});
    for (Variant& variant : v) variant.tuning.engine = variant.engine;
    return v;
}

// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------

TEST(PictureCompressor, WritesTheWorkedTwoByTwoPicture) {
    const Picture picture{"2 x 2", {0, 1, 1, 0}, 2};
    for (const Variant& v : variants()) {
        const Compressed got = compress(picture, 1, v.tuning);
        ASSERT_EQ(got.status, MinimiseStatus::ok) << v.name;
        ASSERT_EQ(got.records.size(), 2u) << v.name;
        EXPECT_EQ(hex(got.records[0]), "00 01 02 C3") << v.name;
        EXPECT_EQ(hex(got.records[1]), "80 00 00") << v.name;
    }
}

std::vector<Picture> smallPictures() {
    std::vector<Picture> pictures;
    pictures.push_back({"1 x 1", {0}, 3});
    pictures.push_back({"empty", {}, 2});
    pictures.push_back({"1 x 2", {1, 0}, 2});
    pictures.push_back({"3 x 5 noise", test::noiseIndices(15, 4, 1), 4});
    pictures.push_back({"7 x 9 noise", test::noiseIndices(63, 5, 2), 5});
    pictures.push_back({"7 x 9 photo", test::photoLikeIndices(7, 9, 9, 3), 9});
    pictures.push_back({"8 x 8, colours absent", {}, 7});
    for (int p = 0; p < 64; ++p) pictures.back().indices.push_back(p % 3 == 0 ? 2 : p < 20 ? 5 : 0);
    // Small enough for the reference, which needs minutes for some pictures
    // of 32 x 32 pixels in a few colours under the sanitizers.
    pictures.push_back({"12 x 10 photo", test::photoLikeIndices(12, 10, 25, 5), 25});
    pictures.push_back({"16 x 16 photo", test::photoLikeIndices(16, 16, 12, 4), 12});
    pictures.push_back({"32 x 32 two colours", test::noiseIndices(1024, 2, 7), 2});
    return pictures;
}

TEST(PictureCompressor, MatchesTheReferenceForEveryEngineAndThreadCount) {
    for (const Picture& picture : smallPictures()) {
        const std::vector<Bytes> want = referenceRecords(picture);
        for (const Variant& v : variants()) {
            // Thread counts 1 to 3 with the default tunings, 2 with the others.
            const bool plain = v.tuning.blockVars == 0 && v.tuning.keyChunk == 0;
            for (const unsigned threads : {1u, 2u, 3u}) {
                if (!plain && threads != 2) continue;
                const Compressed got = compress(picture, threads, v.tuning);
                ASSERT_EQ(got.status, MinimiseStatus::ok) << picture.name << ", " << v.name << ", " << threads << " threads";
                ASSERT_EQ(got.records.size(), want.size()) << picture.name << ", " << v.name;
                for (std::size_t c = 0; c < want.size(); ++c) {
                    ASSERT_EQ(got.records[c], want[c]) << picture.name << ", " << v.name << ", " << threads
                                                       << " threads, colour " << c << ": got " << hex(got.records[c])
                                                       << ", want " << hex(want[c]);
                }
            }
        }
    }
}

TEST(PictureCompressor, EnginesAgreeOnLargerPicturesAndRecordsPaintThem) {
    // Too large for the reference: the two engines, with the passes over
    // whole arrays and many slabs, must agree, and the records must give the
    // picture back.
    std::vector<Picture> pictures = {
        {"256 x 256 photo", test::photoLikeIndices(256, 256, 24, 8), 24},
        {"100 x 60 photo", test::photoLikeIndices(100, 60, 40, 8), 40},
        {"75 x 77 photo", test::photoLikeIndices(75, 77, 20, 9), 20},
        {"64 x 64 noise", test::noiseIndices(4096, 5, 10), 5},
        // Cheap first colours, then costly ones: the automatic choice hands
        // over from top-down to another engine in the middle of the palette.
        {"64 x 64, specks then noise", test::noiseIndices(4096, 6, 11), 8},
    };
    for (std::uint32_t& index : pictures.back().indices) index += 2;
    for (std::size_t p = 0; p < 4096; p += 97) pictures.back().indices[p] = static_cast<std::uint32_t>(p % 2);
    for (const Picture& picture : pictures) {
        FastTuning perColour;
        perColour.engine = Engine::perColour;
        const Compressed want = compress(picture, 1, perColour);
        ASSERT_EQ(want.status, MinimiseStatus::ok) << picture.name;
        EXPECT_EQ(paint(want.records, picture.indices.size()), picture.indices) << picture.name;

        FastTuning allColours;
        allColours.engine = Engine::allColours;
        FastTuning manySlabs = allColours;
        manySlabs.slabVars = 7;
        manySlabs.blockVars = 4;
        FastTuning topDown;
        topDown.engine = Engine::topDown;
        for (const auto& [tuning, threads] : {std::pair{allColours, 1u}, std::pair{allColours, 2u}, std::pair{allColours, 3u},
                                              std::pair{manySlabs, 2u}, std::pair{topDown, 1u}, std::pair{topDown, 3u},
                                              std::pair{FastTuning{}, 1u}, std::pair{FastTuning{}, 2u}}) {
            const Compressed got = compress(picture, threads, tuning);
            ASSERT_EQ(got.status, MinimiseStatus::ok) << picture.name;
            ASSERT_EQ(got.records.size(), want.records.size());
            for (std::size_t c = 0; c < want.records.size(); ++c) {
                ASSERT_EQ(got.records[c], want.records[c]) << picture.name << ", " << threads << " threads, slab digits "
                                                           << tuning.slabVars << ", colour " << c;
            }
        }
    }
}

TEST(PictureCompressor, StopsWhenTheSinkSaysSo) {
    const Picture picture{"32 x 32 photo", test::photoLikeIndices(32, 32, 40, 6), 40};
    for (const Variant& v : variants()) {
        for (const unsigned threads : {1u, 3u}) {
            const Compressed got = compress(picture, threads, v.tuning, 3);
            EXPECT_EQ(got.status, MinimiseStatus::ok) << v.name;
            EXPECT_EQ(got.records.size(), 4u) << v.name << ", " << threads << " threads";
        }
    }
}

TEST(PictureCompressor, ReportsTheFirstColourWhoseRecordIsTooLong) {
    const Picture picture{"12 x 10 photo", test::photoLikeIndices(12, 10, 25, 5), 25};
    const std::vector<Bytes> want = referenceRecords(picture);
    std::uint32_t first = 0;
    std::size_t longest = 0;
    for (const Bytes& r : want) longest = std::max(longest, r.size());
    const std::int64_t limit = static_cast<std::int64_t>(longest) - 3 - 1;
    while (static_cast<std::int64_t>(want[first].size()) - 3 <= limit) ++first;
    for (Variant v : variants()) {
        v.tuning.maxDataLength = limit;
        for (const unsigned threads : {1u, 3u}) {
            const Compressed got = compress(picture, threads, v.tuning);
            EXPECT_EQ(got.status, MinimiseStatus::recordTooLong) << v.name;
            EXPECT_EQ(got.failed, first) << v.name << ", " << threads << " threads";
            ASSERT_EQ(got.records.size(), first) << v.name << ", " << threads << " threads: colours before the failure";
            for (std::uint32_t c = 0; c < first; ++c) EXPECT_EQ(got.records[c], want[c]) << v.name << ", colour " << c;
        }
    }
}

TEST(PictureCompressor, RefusesTheParityPictureAtItsFirstColour) {
    // 256 x 256, colour 0 on the positions of even weight: 131072 data bytes.
    Picture picture{"parity", std::vector<std::uint32_t>(std::size_t{1} << 16), 3};
    for (std::size_t p = 0; p < picture.indices.size(); ++p) picture.indices[p] = std::popcount(p) % 2 == 0 ? 0 : 1 + p % 2;
    FastTuning perColour;
    perColour.engine = Engine::perColour;
    for (const unsigned threads : {1u, 2u}) {
        const Compressed got = compress(picture, threads, perColour);
        EXPECT_EQ(got.status, MinimiseStatus::recordTooLong) << threads << " threads";
        EXPECT_EQ(got.failed, 0u);
        EXPECT_TRUE(got.records.empty());
    }
}

TEST(PictureCompressor, RejectsIndicesOutsideThePalette) {
    const Picture picture{"bad index", {0, 1, 4, 1}, 3};
    const Compressed got = compress(picture, 2, {});
    EXPECT_EQ(got.status, MinimiseStatus::invalidTable);
    EXPECT_TRUE(got.records.empty());
    const Picture none{"no colours", {}, 0};
    EXPECT_EQ(compress(none, 1, {}).status, MinimiseStatus::ok);
    EXPECT_TRUE(compress(none, 1, {}).records.empty());
}

TEST(PictureCompressor, ReportsProgressOnTheCallingThread) {
    const Picture picture{"64 x 64 photo", test::photoLikeIndices(64, 64, 30, 3), 30};
    for (const Variant& v : variants()) {
        for (const unsigned threads : {1u, 2u}) {
            PictureCompressor compressor;
            compressor.setTuningForTesting(v.tuning);
            CompressOptions options;
            options.threads = threads;
            const std::thread::id caller = std::this_thread::get_id();
            std::uint64_t calls = 0, done = 0, total = 0;
            options.progress = [&](std::uint64_t d, std::uint64_t t) {
                EXPECT_EQ(std::this_thread::get_id(), caller) << v.name;
                EXPECT_LE(d, t) << v.name;
                ++calls;
                done = d;
                total = t;
            };
            ASSERT_EQ(compressor.compress(picture.indices.data(), picture.indices.size(), picture.colours, options,
                                          [](std::uint32_t, std::span<const std::uint8_t>) { return true; }),
                      MinimiseStatus::ok);
            EXPECT_GE(calls, 1u) << v.name;
            EXPECT_GT(total, 0u) << v.name;
            EXPECT_EQ(done, total) << v.name << ", " << threads << " threads: the last call reports the whole work";
        }
    }
}

TEST(PictureCompressor, BoundsItsWorkingMemory) {
    const std::uint64_t mib = std::uint64_t{1} << 20;
    EXPECT_LE(PictureCompressor::workingMemoryBound(512 * 512, 256, 2), 1024 * mib);
    EXPECT_LE(PictureCompressor::workingMemoryBound(1024 * 1024, 256, 2), 2048 * mib);
    EXPECT_LE(PictureCompressor::workingMemoryBound(64 * 64, 40, 2), PictureCompressor::workingMemoryBound(256 * 256, 40, 2));
    EXPECT_LE(PictureCompressor::workingMemoryBound(256 * 256, 256, 1), PictureCompressor::workingMemoryBound(256 * 256, 256, 4));
    // Past the table's budget the top-down engine needs bitmaps and keys only.
    EXPECT_LE(PictureCompressor::workingMemoryBound(4096 * 4096, 256, 2), 512 * mib);
}

}  // namespace
}  // namespace qm5
