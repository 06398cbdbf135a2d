// The small covers of qm5 encode --best: CoverSolver against brute force on
// small tables, and BestCompressor's textures decoded back to their
// pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "minimiser/best_cover.hpp"
#include "minimiser/picture_compressor.hpp"
#include "tests/reference/fast_minimiser.hpp"
#include "texture/texture_decoder.hpp"
#include "tests/test_support.hpp"
#include "tests/texture_builder.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {
namespace {

using test::Bytes;

enum Cell : std::uint8_t { OFF, ON, DC };

bool inside(const CubeMasks& cube, std::uint32_t p) { return cube.covers(p); }

// Every prime of the non-off set of a table (b <= 8) that holds an on
// position, by trying all 3^b cubes.
std::vector<CubeMasks> primesOf(const std::vector<Cell>& table, int b) {
    const std::uint32_t all = (1u << b) - 1;
    auto implicant = [&](std::uint32_t care, std::uint32_t one) {
        for (std::uint32_t p = 0; p <= all; ++p) {
            if ((p & care) == one && table[p] == OFF) return false;
        }
        return true;
    };
    std::vector<CubeMasks> primes;
    for (std::uint32_t care = 0; care <= all; ++care) {
        for (std::uint32_t one = care;; one = (one - 1) & care) {
            if (implicant(care, one)) {
                bool prime = true;
                for (std::uint32_t bit = care; bit != 0 && prime; bit &= bit - 1) {
                    const std::uint32_t low = bit & (0u - bit);
                    prime = !implicant(care & ~low, one & ~low);
                }
                bool holdsOn = false;
                for (std::uint32_t p = 0; p <= all; ++p) holdsOn = holdsOn || ((p & care) == one && table[p] == ON);
                if (prime && holdsOn) primes.push_back(CubeMasks{care & ~one, one});
            }
            if (one == 0) break;
        }
    }
    return primes;
}

std::vector<std::uint32_t> onOf(const std::vector<Cell>& table) {
    std::vector<std::uint32_t> on;
    for (std::uint32_t p = 0; p < table.size(); ++p) {
        if (table[p] == ON) on.push_back(p);
    }
    return on;
}

// The fewest of the cubes that hold every on position, by plain search.
std::size_t minimumCover(const std::vector<CubeMasks>& cubes, const std::vector<std::uint32_t>& on) {
    std::size_t best = cubes.size();
    std::vector<std::uint8_t> covered(on.size(), 0);
    auto search = [&](auto&& self, std::size_t depth) -> void {
        if (depth >= best) return;
        std::size_t row = 0;
        while (row < on.size() && covered[row] > 0) ++row;
        if (row == on.size()) {
            best = depth;
            return;
        }
        for (const CubeMasks& cube : cubes) {
            if (!inside(cube, on[row])) continue;
            for (std::size_t r = 0; r < on.size(); ++r) covered[r] += inside(cube, on[r]);
            self(self, depth + 1);
            for (std::size_t r = 0; r < on.size(); ++r) covered[r] -= inside(cube, on[r]);
        }
    };
    search(search, 0);
    return best;
}

// What a record must be: cubes drawn from the candidates, each on position
// inside one, and none removable.
::testing::AssertionResult validCover(std::span<const CubeMasks> chosen, const std::vector<CubeMasks>& candidates,
                                      const std::vector<std::uint32_t>& on) {
    for (const CubeMasks& cube : chosen) {
        if (std::find(candidates.begin(), candidates.end(), cube) == candidates.end())
            return ::testing::AssertionFailure() << "cube " << cube.zero << "/" << cube.one << " is no candidate";
    }
    for (std::uint32_t p : on) {
        if (std::none_of(chosen.begin(), chosen.end(), [&](const CubeMasks& c) { return inside(c, p); }))
            return ::testing::AssertionFailure() << "on position " << p << " is not covered";
    }
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        const bool needed = std::any_of(on.begin(), on.end(), [&](std::uint32_t p) {
            for (std::size_t j = 0; j < chosen.size(); ++j) {
                if (j != k && inside(chosen[j], p)) return false;
            }
            return inside(chosen[k], p);
        });
        if (!needed) return ::testing::AssertionFailure() << "cube " << k << " of " << chosen.size() << " is redundant";
    }
    return ::testing::AssertionSuccess();
}

std::vector<Cell> randomTable(int b, std::mt19937& rng) {
    std::vector<Cell> table(std::size_t{1} << b);
    const unsigned offShare = rng() % 60;  // percent
    const unsigned onShare = 10 + rng() % 50;
    for (Cell& cell : table) {
        const unsigned roll = rng() % 100;
        cell = roll < offShare ? OFF : roll < offShare + onShare ? ON : DC;
    }
    return table;
}

TEST(CoverSolver, FindsTheMinimumOfSmallTables) {
    std::mt19937 rng(91);
    CoverSolver solver;
    int nontrivial = 0;
    for (int round = 0; round < 300; ++round) {
        const int b = 2 + round % 4;
        const std::vector<Cell> table = randomTable(b, rng);
        const std::vector<std::uint32_t> on = onOf(table);
        std::vector<CubeMasks> primes = primesOf(table, b);
        if (on.empty() || std::find(table.begin(), table.end(), OFF) == table.end()) continue;
        ASSERT_EQ(solver.solve(b, on, primes), MinimiseStatus::ok) << "round " << round;
        const std::size_t want = minimumCover(primes, on);
        EXPECT_EQ(solver.cubes().size(), want) << "round " << round << ", b = " << b;
        EXPECT_TRUE(validCover(solver.cubes(), primes, on)) << "round " << round;
        nontrivial += primes.size() > want;

        // The same set in another order, with duplicates, gives the same cubes.
        const std::vector<CubeMasks> first(solver.cubes().begin(), solver.cubes().end());
        std::vector<CubeMasks> shuffled = primes;
        shuffled.insert(shuffled.end(), primes.begin(), primes.begin() + static_cast<std::ptrdiff_t>(primes.size() / 2));
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        ASSERT_EQ(solver.solve(b, on, shuffled), MinimiseStatus::ok);
        EXPECT_EQ(std::vector<CubeMasks>(solver.cubes().begin(), solver.cubes().end()), first) << "round " << round;
    }
    EXPECT_GT(nontrivial, 100) << "tables where some primes stay out";
}

TEST(CoverSolver, GreedyAndCutSearchStillCoverIrredundantly) {
    std::mt19937 rng(5);
    for (const CoverLimits limits : {CoverLimits{0, 20000}, CoverLimits{64, 1}}) {
        CoverSolver solver;
        solver.setLimits(limits);
        for (int round = 0; round < 60; ++round) {
            const int b = 4 + round % 5;
            const std::vector<Cell> table = randomTable(b, rng);
            const std::vector<std::uint32_t> on = onOf(table);
            const std::vector<CubeMasks> primes = primesOf(table, b);
            if (on.empty() || std::find(table.begin(), table.end(), OFF) == table.end()) continue;
            ASSERT_EQ(solver.solve(b, on, primes), MinimiseStatus::ok);
            EXPECT_TRUE(validCover(solver.cubes(), primes, on))
                << "exactColumns " << limits.exactColumns << ", round " << round;
        }
    }
}

// The greedy's choice by its plain definition: the essentials, then again
// and again the column whose uncovered rows weigh most (a row 2^24 over the
// columns holding it, 1 at least), the first in candidate order on a tie;
// then, fewest rows first (the later first among equals), the chosen whose
// rows the others hold dropped. Columns of the same rows count once.
std::vector<CubeMasks> plainGreedy(const std::vector<std::uint32_t>& on, std::vector<CubeMasks> candidates) {
    auto key = [](const CubeMasks& c) {
        const std::uint32_t care = c.zero | c.one;
        return std::tuple(std::popcount(care), care, c.one);
    };
    std::sort(candidates.begin(), candidates.end(),
              [&](const CubeMasks& x, const CubeMasks& y) { return key(x) < key(y); });
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    std::vector<CubeMasks> cubes;
    std::vector<std::vector<std::uint32_t>> cols;
    for (const CubeMasks& cube : candidates) {
        std::vector<std::uint32_t> rows;
        for (std::uint32_t r = 0; r < on.size(); ++r) {
            if (inside(cube, on[r])) rows.push_back(r);
        }
        if (rows.empty() || std::find(cols.begin(), cols.end(), rows) != cols.end()) continue;
        cols.push_back(rows);
        cubes.push_back(cube);
    }
    std::vector<std::uint32_t> weight(on.size(), 0), holder(on.size(), 0);
    for (std::uint32_t c = 0; c < cols.size(); ++c) {
        for (const std::uint32_t r : cols[c]) {
            ++weight[r];
            holder[r] = c;
        }
    }
    std::vector<bool> chosen(cols.size(), false);
    auto choose = [&](std::uint32_t c) {
        chosen[c] = true;
        for (const std::uint32_t r : cols[c]) weight[r] = 0;
    };
    for (std::uint32_t r = 0; r < on.size(); ++r) {
        if (weight[r] == 1) choose(holder[r]);
    }
    for (std::uint32_t& w : weight) w = w == 0 ? 0 : std::max(1u, (1u << 24) / w);
    for (;;) {
        std::uint64_t best = 0;
        std::uint32_t pick = 0;
        for (std::uint32_t c = 0; c < cols.size(); ++c) {
            std::uint64_t score = 0;
            for (const std::uint32_t r : cols[c]) score += weight[r];
            if (score > best) best = score, pick = c;
        }
        if (best == 0) break;
        choose(pick);
    }
    std::vector<std::uint32_t> times(on.size(), 0), picked;
    for (std::uint32_t c = 0; c < cols.size(); ++c) {
        if (!chosen[c]) continue;
        picked.push_back(c);
        for (const std::uint32_t r : cols[c]) ++times[r];
    }
    std::sort(picked.begin(), picked.end(), [&](std::uint32_t x, std::uint32_t y) {
        return cols[x].size() != cols[y].size() ? cols[x].size() < cols[y].size() : x > y;
    });
    for (const std::uint32_t c : picked) {
        if (!std::all_of(cols[c].begin(), cols[c].end(), [&](std::uint32_t r) { return times[r] >= 2; })) continue;
        chosen[c] = false;
        for (const std::uint32_t r : cols[c]) --times[r];
    }
    std::vector<CubeMasks> cover;
    for (std::uint32_t c = 0; c < cols.size(); ++c) {
        if (chosen[c]) cover.push_back(cubes[c]);
    }
    return cover;
}

// The greedy scores a column from the runs that held uncovered rows when
// it was last scored: a score that misses a row changes the choice, not
// the validity of the cover.
TEST(CoverSolver, GreedyChoosesAsThePlainGreedy) {
    std::mt19937 rng(47);
    CoverSolver solver;
    solver.setLimits(CoverLimits{0, 20000});  // every group to the greedy
    for (int round = 0; round < 12; ++round) {
        const int b = 7 + round % 3;
        const std::vector<Cell> table = randomTable(b, rng);
        const std::vector<std::uint32_t> on = onOf(table);
        const std::vector<CubeMasks> primes = primesOf(table, b);
        if (on.empty() || std::find(table.begin(), table.end(), OFF) == table.end()) continue;
        ASSERT_EQ(solver.solve(b, on, primes), MinimiseStatus::ok);
        EXPECT_EQ(std::vector<CubeMasks>(solver.cubes().begin(), solver.cubes().end()), plainGreedy(on, primes))
            << "round " << round << ", b = " << b;
    }
}

TEST(CoverSolver, DescentAndWordByWordFindTheSameColumns) {
    // b = 12: tables of runs of one cell, long enough for cubes that hold
    // whole words; candidates grown from on positions digit by digit while
    // they hold no off position.
    std::mt19937 rng(33);
    const int b = 12;
    for (int round = 0; round < 6; ++round) {
        std::vector<Cell> table(std::size_t{1} << b);
        for (std::size_t p = 0; p < table.size();) {
            const Cell cell = static_cast<Cell>(rng() % 3);
            const std::size_t length = 1 + rng() % (round % 2 == 0 ? 300 : 20);
            for (std::size_t n = 0; n < length && p < table.size(); ++n) table[p++] = cell;
        }
        const std::vector<std::uint32_t> on = onOf(table);
        std::vector<CubeMasks> candidates;
        for (const std::uint32_t start : on) {
            std::uint32_t care = (1u << b) - 1;
            for (std::uint32_t d = rng() % b, tries = 0; tries < b; d = (d + 1) % b, ++tries) {
                const std::uint32_t wider = care & ~(1u << d);
                const std::uint32_t free = ~wider & ((1u << b) - 1);
                bool clean = true;
                std::uint32_t s = 0;
                do {
                    clean = table[(start & wider) | s] != OFF;
                    s = (s - free) & free;
                } while (clean && s != 0);
                if (clean) care = wider;
            }
            candidates.push_back(CubeMasks{care & ~start, care & start});
        }
        if (on.empty()) continue;
        CoverSolver descent;
        descent.setLimits(CoverLimits{.directDigits = 0});
        CoverSolver direct;
        ASSERT_EQ(descent.solve(b, on, candidates), MinimiseStatus::ok) << "round " << round;
        ASSERT_EQ(direct.solve(b, on, candidates), MinimiseStatus::ok) << "round " << round;
        EXPECT_TRUE(validCover(direct.cubes(), candidates, on)) << "round " << round;
        EXPECT_EQ(std::vector<CubeMasks>(descent.cubes().begin(), descent.cubes().end()),
                  std::vector<CubeMasks>(direct.cubes().begin(), direct.cubes().end()))
            << "round " << round;
    }
}

TEST(CoverSolver, StopsAtItsWorkLimitAndThenSolvesAsNew) {
    std::mt19937 rng(17);
    CoverSolver solver;
    CoverSolver fresh;
    for (int round = 0; round < 20; ++round) {
        const int b = 6 + round % 3;
        const std::vector<Cell> table = randomTable(b, rng);
        const std::vector<std::uint32_t> on = onOf(table);
        const std::vector<CubeMasks> primes = primesOf(table, b);
        if (on.empty() || std::find(table.begin(), table.end(), OFF) == table.end()) continue;
        solver.limitWork(solver.work() + 1);
        ASSERT_EQ(solver.solve(b, on, primes), MinimiseStatus::ok);
        EXPECT_TRUE(solver.stopped()) << "round " << round;
        EXPECT_TRUE(solver.cubes().empty()) << "round " << round << ": a stopped solve has no cover";
        solver.limitWork(~std::uint64_t{0});
        ASSERT_EQ(solver.solve(b, on, primes), MinimiseStatus::ok);
        ASSERT_EQ(fresh.solve(b, on, primes), MinimiseStatus::ok);
        EXPECT_FALSE(solver.stopped());
        EXPECT_EQ(std::vector<CubeMasks>(solver.cubes().begin(), solver.cubes().end()),
                  std::vector<CubeMasks>(fresh.cubes().begin(), fresh.cubes().end()))
            << "round " << round << ": a solve after a stopped one differs from a fresh solver's";
    }
}

// The greedy once ran to its end past the limit: on a big record, most of
// the record's work beyond what the palette order search allowed it.
TEST(CoverSolver, GreedyStopsNearItsWorkLimit) {
    std::mt19937 rng(29);
    CoverSolver solver;
    solver.setLimits(CoverLimits{0, 20000});  // every group to the greedy
    for (int round = 0; round < 3; ++round) {
        const int b = 10;
        const std::vector<Cell> table = randomTable(b, rng);
        const std::vector<std::uint32_t> on = onOf(table);
        const std::vector<CubeMasks> primes = primesOf(table, b);
        if (on.empty() || std::find(table.begin(), table.end(), OFF) == table.end()) continue;
        std::uint64_t start = solver.work();
        ASSERT_EQ(solver.solve(b, on, primes), MinimiseStatus::ok);
        const std::uint64_t whole = solver.work() - start;
        start = solver.work();
        solver.limitWork(start + whole * 7 / 8);
        ASSERT_EQ(solver.solve(b, on, primes), MinimiseStatus::ok);
        solver.limitWork(~std::uint64_t{0});
        const std::uint64_t spent = solver.work() - start;
        EXPECT_TRUE(solver.stopped()) << "round " << round;
        EXPECT_LE(spent, whole * 7 / 8 + whole / 32)
            << "round " << round << ": got " << spent << " units, want about " << whole * 7 / 8 << " of " << whole;
    }
}

TEST(CoverSolver, CountsOnlyOnPositions) {
    // b = 4: on at 0 and 3, don't care at 1, 2 and 4, off elsewhere. The
    // maker's walk writes 00-- and then 0-00, since 0-00 holds an on
    // position and the don't care 4 that is not yet covered; 00-- alone
    // holds every on position.
    std::vector<Cell> table(16, OFF);
    table[0] = table[3] = ON;
    table[1] = table[2] = table[4] = DC;
    std::vector<std::int32_t> codes(table.begin(), table.end());
    FastMinimiser maker;
    ASSERT_TRUE(maker.minimise(16, codes.data()));
    EXPECT_EQ(cubeCountOf(static_cast<std::uint64_t>(maker.dataLength()), 4), 2u);

    CoverSolver solver;
    ASSERT_EQ(solver.solve(4, onOf(table), primesOf(table, 4)), MinimiseStatus::ok);
    ASSERT_EQ(solver.cubes().size(), 1u);
    EXPECT_EQ(solver.cubes()[0], (CubeMasks{0b1100, 0})) << "00--";
}

TEST(CoverSolver, RefusesWhatItCannotCover) {
    CoverSolver solver;
    const std::vector<CubeMasks> one = {CubeMasks{0b10, 0b01}};  // position 1 of b = 2
    EXPECT_EQ(solver.solve(2, std::vector<std::uint32_t>{1, 2}, one), MinimiseStatus::invalidTable)
        << "position 2 lies in no candidate";
    EXPECT_EQ(solver.solve(2, std::vector<std::uint32_t>{2, 1}, one), MinimiseStatus::invalidTable) << "unsorted";
    EXPECT_EQ(solver.solve(2, std::vector<std::uint32_t>{4}, one), MinimiseStatus::invalidTable) << "past 2^b";
    EXPECT_EQ(solver.solve(2, std::vector<std::uint32_t>{1}, std::vector<CubeMasks>{{0, 0}}),
              MinimiseStatus::invalidTable)
        << "a cube with both masks zero is never written";
    EXPECT_EQ(solver.solve(2, std::vector<std::uint32_t>{1}, std::vector<CubeMasks>{{1, 1}}),
              MinimiseStatus::invalidTable)
        << "a bit in both masks";
    EXPECT_EQ(solver.solve(0, std::vector<std::uint32_t>{0}, one), MinimiseStatus::invalidTable);
    ASSERT_EQ(solver.solve(2, std::vector<std::uint32_t>{1}, one), MinimiseStatus::ok) << "usable after refusals";
    EXPECT_EQ(solver.cubes().size(), 1u);
    ASSERT_EQ(solver.solve(2, std::vector<std::uint32_t>{}, one), MinimiseStatus::ok);
    EXPECT_TRUE(solver.cubes().empty()) << "nothing on, nothing written";
}

// ---------------------------------------------------------------------------

// Pictures of palette indices: noise, or bands with specks, which gives
// large cubes.
std::vector<std::uint32_t> randomPicture(std::uint64_t pixels, std::int32_t width, std::uint32_t colours,
                                         bool smooth, std::mt19937& rng) {
    std::vector<std::uint32_t> out(pixels);
    for (std::uint64_t p = 0; p < pixels; ++p) {
        const auto x = static_cast<std::uint32_t>(p % static_cast<std::uint64_t>(width));
        const auto y = static_cast<std::uint32_t>(p / static_cast<std::uint64_t>(width));
        out[p] = smooth && rng() % 8 != 0 ? ((x / 3 + y / 2) % colours) : rng() % colours;
    }
    return out;
}

struct Compressed {
    MinimiseStatus status = MinimiseStatus::ok;
    std::vector<Bytes> records;
};

template <class Compressor>
Compressed compressAll(Compressor& compressor, const std::vector<std::uint32_t>& indices, std::uint32_t colours,
                       unsigned threads, std::uint64_t memoryLimit = CompressOptions{}.memoryLimit) {
    Compressed out;
    CompressOptions options;
    options.threads = threads;
    options.memoryLimit = memoryLimit;
    out.status = compressor.compress(indices.data(), indices.size(), colours, options,
                                     [&](std::uint32_t c, std::span<const std::uint8_t> record) {
                                         EXPECT_EQ(c, out.records.size()) << "colours in order";
                                         out.records.emplace_back(record.begin(), record.end());
                                         return true;
                                     });
    return out;
}

std::uint64_t cubesOf(const Bytes& record) {
    const RecordHead head = RecordHead::from(record);
    return head.isGeneral() ? cubeCountOf(record.size() - kRecordHeadSize, head.bitCount()) : 0;
}

TEST(BestCompressor, TexturesDecodeToTheirPicturesForEveryBitCount) {
    struct Size {
        std::int32_t width, height;
    };
    // b = 0 to 12, most of them with pixel counts that are no power of two.
    const Size sizes[] = {{1, 1},  {1, 2},   {3, 1},   {5, 1},   {3, 5},   {7, 3},   {9, 7},
                          {10, 10}, {16, 16}, {20, 25}, {31, 33}, {40, 50}, {63, 65}, {64, 64}};
    std::mt19937 rng(2024);
    std::uint64_t bestCubes = 0;
    std::uint64_t makerCubes = 0;
    const std::uint32_t colourCounts[] = {1, 2, 7, 40, 300};
    std::size_t next = 0;
    for (const Size size : sizes) {
        const auto pixels = static_cast<std::uint64_t>(size.width) * static_cast<std::uint64_t>(size.height);
        for (int pass = 0; pass < 2; ++pass) {
            const std::uint32_t colours = colourCounts[next++ % std::size(colourCounts)];
            for (const bool smooth : {false, true}) {
                const std::vector<std::uint32_t> indices = randomPicture(pixels, size.width, colours, smooth, rng);
                BestCompressor best;
                PictureCompressor maker;
                const Compressed got = compressAll(best, indices, colours, 2);
                const Compressed makers = compressAll(maker, indices, colours, 1);
                const std::string what = std::to_string(size.width) + " x " + std::to_string(size.height) + ", " +
                                         std::to_string(colours) + (smooth ? " colours, smooth" : " colours, noise");
                ASSERT_EQ(got.status, MinimiseStatus::ok) << what;
                ASSERT_EQ(makers.status, MinimiseStatus::ok) << what;
                ASSERT_EQ(got.records.size(), colours) << what;

                test::TextureBytes texture(static_cast<std::uint16_t>(colours), 1, static_cast<std::uint16_t>(size.width),
                                           static_cast<std::uint16_t>(size.height));
                for (std::uint32_t c = 0; c < colours; ++c) texture.u32(0x10000 + c * 7);
                for (std::uint32_t c = 0; c < colours; ++c) {
                    const Bytes& record = got.records[c];
                    const Bytes& theirs = makers.records[c];
                    texture.raw(record);
                    const RecordHead head = RecordHead::from(record);
                    if (!RecordHead::from(theirs).isGeneral() || theirs.size() == 3) {
                        EXPECT_EQ(test::hex(record), test::hex(theirs)) << what << ", colour " << c << ": the maker's head";
                    }
                    EXPECT_LE(cubesOf(record), cubesOf(theirs)) << what << ", colour " << c;
                    EXPECT_LE(record.size(), theirs.size()) << what << ", colour " << c;
                    std::uint64_t whole = 0;
                    for (std::uint64_t k = 0; k < cubesOf(record) && head.bitCount() > 3; ++k) {
                        const CubeMasks cube = readCube({record.data() + 3, record.size() - 3}, head.bitCount(), k);
                        whole += (cube.zero | cube.one) == 0;
                    }
                    EXPECT_EQ(whole, 0u) << what << ", colour " << c << ": cubes with both masks zero";
                    bestCubes += cubesOf(record);
                    makerCubes += cubesOf(theirs);
                }
                Picture decoded;
                ASSERT_EQ(decodeTextureImage(texture.bytes, 0, decoded).kind, TextureProblemKind::none) << what;
                ASSERT_EQ(decoded.pixels.size(), pixels);
                std::uint64_t p = 0;
                while (p < pixels && decoded.pixels[p] == 0x10000 + indices[p] * 7) ++p;
                ASSERT_EQ(p, pixels) << what << ": the first wrong pixel";
            }
        }
    }
    EXPECT_LT(bestCubes * 100, makerCubes * 85) << "got " << bestCubes << " cubes, the maker " << makerCubes;
}

TEST(BestCompressor, SameRecordsForAnyThreadCount) {
    std::mt19937 rng(3);
    const std::vector<std::uint32_t> indices = randomPicture(50 * 39, 50, 60, true, rng);
    BestCompressor one;
    BestCompressor four;
    const Compressed a = compressAll(one, indices, 60, 1);
    const Compressed b = compressAll(four, indices, 60, 4);
    ASSERT_EQ(a.status, MinimiseStatus::ok);
    ASSERT_EQ(b.status, MinimiseStatus::ok);
    EXPECT_EQ(a.records, b.records);
}

TEST(BestCompressor, MemoryLimitRefusesTheSameRecordForAnyThreadCount) {
    // The least limit one thread needs; four threads, whose records crowd
    // each other out, make the same records within it and fail below it.
    std::mt19937 rng(5);
    const std::vector<std::uint32_t> indices = randomPicture(40 * 41, 40, 24, true, rng);
    BestCompressor best;
    std::uint64_t low = 0;
    std::uint64_t high = std::uint64_t{1} << 20;
    ASSERT_EQ(compressAll(best, indices, 24, 1, high).status, MinimiseStatus::ok);
    while (high - low > 1) {
        const std::uint64_t mid = low + (high - low) / 2;
        (compressAll(best, indices, 24, 1, mid).status == MinimiseStatus::ok ? high : low) = mid;
    }
    const Compressed alone = compressAll(best, indices, 24, 1, high);
    const Compressed four = compressAll(best, indices, 24, 4, high);
    ASSERT_EQ(four.status, MinimiseStatus::ok);
    EXPECT_EQ(four.records, alone.records);
    const Compressed below = compressAll(best, indices, 24, 4, low);
    EXPECT_EQ(below.status, MinimiseStatus::outOfMemory);
    EXPECT_EQ(best.failedColour(), compressAll(best, indices, 24, 1, low).records.size());
}

TEST(BestCompressor, StopsFailsAndRefuses) {
    // 16 x 16, colour 0 on the positions with an even number of set bits
    // and colour 1 on the others: no two positions of colour 0 merge, so its
    // 128 single-position cubes need 256 bytes (b = 8). With 256 x 256 the
    // same picture passes the head's 65535 bytes.
    std::vector<std::uint32_t> parity(256);
    for (std::uint32_t p = 0; p < parity.size(); ++p) parity[p] = static_cast<std::uint32_t>(std::popcount(p) & 1);
    BestCompressor best;
    CoverLimits limits;
    limits.maxDataLength = 255;
    best.setLimits(limits);
    Compressed got = compressAll(best, parity, 2, 2);
    EXPECT_EQ(got.status, MinimiseStatus::recordTooLong);
    EXPECT_EQ(best.failedColour(), 0u);
    EXPECT_TRUE(got.records.empty());
    limits.maxDataLength = 256;
    best.setLimits(limits);
    got = compressAll(best, parity, 2, 2);
    ASSERT_EQ(got.status, MinimiseStatus::ok);
    EXPECT_EQ(got.records[0].size(), 3u + 256u);

    // Two colours in halves; the sink stops after the first.
    std::vector<std::uint32_t> halves(64);
    for (std::uint32_t p = 32; p < 64; ++p) halves[p] = 1;
    int calls = 0;
    EXPECT_EQ(best.compress(halves.data(), halves.size(), 2, CompressOptions{},
                            [&](std::uint32_t, std::span<const std::uint8_t> record) {
                                EXPECT_EQ(test::hex(record.data(), record.size()), "00 02 06 01 00") << "cube 0-----";
                                ++calls;
                                return false;
                            }),
              MinimiseStatus::ok);
    EXPECT_EQ(calls, 1);

    halves[5] = 2;
    EXPECT_EQ(best.compress(halves.data(), halves.size(), 2, CompressOptions{},
                            [](std::uint32_t, std::span<const std::uint8_t>) { return true; }),
              MinimiseStatus::invalidTable)
        << "an index past the palette";
}

}  // namespace
}  // namespace qm5
