// PrimeSearch with spans, the candidates of --best's cover, against brute
// force over every cube of small random tables: each candidate lies in the
// non-off set, and the on positions of each prime that holds one lie in
// those of some candidate (else the cover could need a cube it never sees).

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "minimiser/bitmap.hpp"
#include "minimiser/prime_search.hpp"

namespace qm5::fast {
namespace {

struct Cube {
    std::uint32_t care;
    std::uint32_t one;
};

TEST(PrimeSearch, SpansHoldTheOnPositionsOfEveryPrime) {
    std::mt19937 rng(27);
    PrimeSearch search;  // one object over tables of every size
    for (int b = 1; b <= 8; ++b) {
        const std::uint32_t size = std::uint32_t{1} << b;
        for (int round = 0; round < 12; ++round) {
            // Sparse and dense tables, with and without don't-care positions.
            const unsigned onPercent = 5 + rng() % 70;
            const unsigned dontCarePercent = round % 3 == 0 ? 0 : rng() % (100 - onPercent);
            std::vector<std::uint64_t> nonOff(bitmap::wordsFor(b));
            std::vector<std::uint64_t> on(bitmap::wordsFor(b));
            for (std::uint32_t p = 0; p < size; ++p) {
                const unsigned roll = rng() % 100;
                if (roll < onPercent) bitmap::set(on.data(), p);
                if (roll < onPercent + dontCarePercent) bitmap::set(nonOff.data(), p);
            }
            std::vector<Cube> got;
            ASSERT_TRUE(search.prepare(b, true));
            search.setSpans(true);
            search.run(nonOff.data(), on.data(), [&](std::uint32_t care, std::uint32_t one) {
                got.push_back({care, one});
            });
            // implicant[care << b | one]: the cube lies in the non-off set.
            std::vector<char> implicant(std::size_t{size} * size);
            auto onSet = [&](const Cube& c) {
                std::vector<std::uint64_t> bits(bitmap::wordsFor(b));
                for (std::uint32_t p = 0; p < size; ++p) {
                    if ((p & c.care) == c.one && bitmap::test(on.data(), p)) bitmap::set(bits.data(), p);
                }
                return bits;
            };
            for (std::uint32_t care = 0; care < size; ++care) {
                for (std::uint32_t one = care;; one = (one - 1) & care) {
                    bool inside = true;
                    for (std::uint32_t p = 0; p < size && inside; ++p) {
                        inside = (p & care) != one || bitmap::test(nonOff.data(), p);
                    }
                    implicant[care << b | one] = inside;
                    if (one == 0) break;
                }
            }
            std::vector<std::vector<std::uint64_t>> gotOn;
            for (const Cube& c : got) {
                ASSERT_TRUE(implicant[c.care << b | c.one]) << "b = " << b << ", round " << round << ": cube "
                                                            << c.care << "/" << c.one << " holds an off position";
                gotOn.push_back(onSet(c));
            }
            for (std::uint32_t care = 0; care < size; ++care) {
                for (std::uint32_t one = care;; one = (one - 1) & care) {
                    bool prime = implicant[care << b | one] != 0;
                    for (std::uint32_t rest = care; rest != 0 && prime; rest &= rest - 1) {
                        prime = !implicant[care << b | (one ^ (rest & (0 - rest)))];
                    }
                    const std::vector<std::uint64_t> mine = onSet({care, one});
                    bool held = true;
                    for (const std::uint64_t w : mine) held = held && w == 0;
                    for (std::size_t i = 0; i < gotOn.size() && !held; ++i) {
                        held = true;
                        for (std::size_t w = 0; w < mine.size() && held; ++w) held = (mine[w] & ~gotOn[i][w]) == 0;
                    }
                    EXPECT_TRUE(!prime || held) << "b = " << b << ", round " << round << ": prime " << care << "/"
                                                << one << " lies in no candidate on its on positions";
                    if (one == 0) break;
                }
            }
        }
    }
}

}  // namespace
}  // namespace qm5::fast
