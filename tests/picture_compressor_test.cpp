// PictureCompressor against the reference: the records of whole pictures,
// byte for byte those of the literal pipeline (tests/reference/), for the
// table and top-down engines, the per-colour reference engine, every tuning
// and thread count; and what compress promises its callers (order, stops,
// failures, progress, memory).

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "minimiser/picture_compressor.hpp"
#include "tests/reference/colour_engine.hpp"
#include "tests/reference/function_minimiser.hpp"
#include "tests/synthetic_picture.hpp"
#include "tests/test_support.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {
namespace {

using test::Bytes;
using test::hex;
using Engine = MinimiserEngine;

Bytes bytesOf(std::span<const std::uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

// ---------------------------------------------------------------------------
// Pictures: colour c's table is on = index c, don't care = index below c or
// a position past P, off = index above c.

struct Picture {
    std::string name;
    std::vector<std::uint32_t> indices;
    std::uint32_t colours;
};

// The records of the literal pipeline.
std::vector<Bytes> literalRecords(const Picture& picture) {
    std::vector<Bytes> records;
    std::uint32_t failed = 0;
    const MinimiseStatus status =
        referenceRecords(picture.indices.data(), picture.indices.size(), picture.colours,
                         [&](std::uint32_t, std::span<const std::uint8_t> record) {
                             records.push_back(bytesOf(record));
                             return true;
                         },
                         failed);
    EXPECT_EQ(status, MinimiseStatus::ok) << picture.name;
    return records;
}

struct Compressed {
    MinimiseStatus status = MinimiseStatus::ok;
    std::uint32_t failed = 0;
    std::vector<Bytes> records;
};

// An engine of PictureCompressor, or the per-colour reference.
struct Variant {
    const char* name;
    FastTuning tuning;
    bool perColour = false;
};

// compress(), or with perColour the reference's compressPerColour.
MinimiseStatus compressWith(const Picture& picture, const Variant& v, const CompressOptions& options,
                            const PictureCompressor::Sink& sink, std::uint32_t& failed) {
    if (v.perColour) {
        return compressPerColour(picture.indices.data(), picture.indices.size(), picture.colours, options, v.tuning,
                                 sink, failed);
    }
    PictureCompressor compressor;
    compressor.setTuningForTesting(v.tuning);
    const MinimiseStatus status =
        compressor.compress(picture.indices.data(), picture.indices.size(), picture.colours, options, sink);
    failed = compressor.failedColour();
    return status;
}

Compressed compress(const Picture& picture, unsigned threads, const Variant& v, std::uint32_t stopAfter = ~0u) {
    CompressOptions options;
    options.threads = threads;
    Compressed out;
    std::uint32_t expected = 0;
    out.status = compressWith(picture, v, options,
                              [&](std::uint32_t c, std::span<const std::uint8_t> record) {
                                  EXPECT_EQ(c, expected++) << "colours must arrive in order";
                                  out.records.push_back(bytesOf(record));
                                  return c < stopAfter;
                              },
                              out.failed);
    return out;
}

Compressed compress(const Picture& picture, unsigned threads, const FastTuning& tuning, std::uint32_t stopAfter = ~0u) {
    return compress(picture, threads, Variant{"", tuning}, stopAfter);
}

const Variant kPerColour{"per colour", {}, true};

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

std::vector<Variant> variants() {
    const auto with = [](FastTuning tuning, Engine engine) {
        tuning.engine = engine;
        return tuning;
    };
    FastTuning small;
    small.blockVars = 3;  // blocks of 27 cubes: the passes over the whole array run
    small.slabVars = 4;   // many slabs with free high digits
    FastTuning batches;
    batches.keyChunk = 40;  // primes kept in batches of colours, or one colour range by range
    return {
        kPerColour,
        {"all colours", with({}, Engine::allColours)},
        {"per colour, small blocks", small, true},
        {"all colours, small blocks and slabs", with(small, Engine::allColours)},
        {"per colour, ranges", batches, true},
        {"all colours, batches", with(batches, Engine::allColours)},
        {"top down", with({}, Engine::topDown)},
        {"top down, ranges", with(batches, Engine::topDown)},
        // Top-down first under a budget, then either engine for the colours left.
        {"automatic", {}},
    };
}

// ---------------------------------------------------------------------------

TEST(PictureCompressor, WritesTheWorkedTwoByTwoPicture) {
    const Picture picture{"2 x 2", {0, 1, 1, 0}, 2};
    for (const Variant& v : variants()) {
        const Compressed got = compress(picture, 1, v);
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
        const std::vector<Bytes> want = literalRecords(picture);
        for (const Variant& v : variants()) {
            // Thread counts 1 to 3 with the default tunings, 2 with the others.
            const bool plain = v.tuning.blockVars == 0 && v.tuning.keyChunk == 0;
            for (const unsigned threads : {1u, 2u, 3u}) {
                if (!plain && threads != 2) continue;
                const Compressed got = compress(picture, threads, v);
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
        const Compressed want = compress(picture, 1, kPerColour);
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
            const Compressed got = compress(picture, threads, v, 3);
            EXPECT_EQ(got.status, MinimiseStatus::ok) << v.name;
            EXPECT_EQ(got.records.size(), 4u) << v.name << ", " << threads << " threads";
        }
    }
}

TEST(PictureCompressor, ReportsTheFirstColourWhoseRecordIsTooLong) {
    const Picture picture{"12 x 10 photo", test::photoLikeIndices(12, 10, 25, 5), 25};
    const std::vector<Bytes> want = literalRecords(picture);
    std::uint32_t first = 0;
    std::size_t longest = 0;
    for (const Bytes& r : want) longest = std::max(longest, r.size());
    const std::int64_t limit = static_cast<std::int64_t>(longest) - 3 - 1;
    while (static_cast<std::int64_t>(want[first].size()) - 3 <= limit) ++first;
    for (Variant v : variants()) {
        v.tuning.maxDataLength = limit;
        for (const unsigned threads : {1u, 3u}) {
            const Compressed got = compress(picture, threads, v);
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
    for (const unsigned threads : {1u, 2u}) {
        const Compressed got = compress(picture, threads, kPerColour);
        EXPECT_EQ(got.status, MinimiseStatus::recordTooLong) << threads << " threads";
        EXPECT_EQ(got.failed, 0u);
        EXPECT_TRUE(got.records.empty());
    }
}

TEST(PictureCompressor, RejectsIndicesOutsideThePalette) {
    const Picture picture{"bad index", {0, 1, 4, 1}, 3};
    const Compressed got = compress(picture, 2, FastTuning{});
    EXPECT_EQ(got.status, MinimiseStatus::invalidTable);
    EXPECT_TRUE(got.records.empty());
    const Picture none{"no colours", {}, 0};
    EXPECT_EQ(compress(none, 1, FastTuning{}).status, MinimiseStatus::ok);
    EXPECT_TRUE(compress(none, 1, FastTuning{}).records.empty());
}

TEST(PictureCompressor, ReportsProgressOnTheCallingThread) {
    const Picture picture{"64 x 64 photo", test::photoLikeIndices(64, 64, 30, 3), 30};
    for (const Variant& v : variants()) {
        for (const unsigned threads : {1u, 2u}) {
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
            std::uint32_t failed = 0;
            ASSERT_EQ(compressWith(picture, v, options, [](std::uint32_t, std::span<const std::uint8_t>) { return true; },
                                   failed),
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
