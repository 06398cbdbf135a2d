#include "texture/record_painter.hpp"

#include <algorithm>
#include <bit>

namespace qm5 {

namespace {

constexpr int kWordDigits = 6;  // positions per word: 64
constexpr std::uint64_t kAll = ~std::uint64_t{0};

// Bit l set where digit i of the word position l is 1.
constexpr std::uint64_t kDigitOne[kWordDigits] = {0xAAAAAAAAAAAAAAAAu, 0xCCCCCCCCCCCCCCCCu, 0xF0F0F0F0F0F0F0F0u,
                                                  0xFF00FF00FF00FF00u, 0xFFFF0000FFFF0000u, 0xFFFFFFFF00000000u};

// A cube in the picture's terms: its word digits and the positions of a
// word it allows. A record's b may differ from the picture's: positions
// from 2^b_picture on lie past the picture, and a b_record-bit position
// has 0 in every digit from b_record on.
struct WordCube {
    bool empty = true;
    std::uint64_t care = 0;   // digits of the word index
    std::uint64_t value = 0;
    std::uint64_t positions = 0;
};

WordCube wordCube(CubeMasks cube, int b, int pictureBits) {
    WordCube out;
    if ((cube.zero & cube.one) != 0) return out;  // a bit in both masks: the cube covers nothing
    std::uint64_t zero = cube.zero;
    const std::uint64_t one = cube.one;
    const std::uint64_t pictureDigits = (std::uint64_t{1} << pictureBits) - 1;
    if (b > pictureBits) {
        if ((one & ~pictureDigits) != 0) return out;
        zero &= pictureDigits;
    } else {
        zero |= pictureDigits & ~((std::uint64_t{1} << b) - 1);
    }
    const std::uint64_t care = zero | one;
    out.empty = false;
    out.care = care >> kWordDigits;
    out.value = one >> kWordDigits;
    out.positions = kAll;
    for (int i = 0; i < kWordDigits; ++i) {
        if (((care >> i) & 1) != 0) out.positions &= ((one >> i) & 1) != 0 ? kDigitOne[i] : ~kDigitOne[i];
    }
    return out;
}

// Word indices of `digits` digits below bound that match care and value,
// counted by the highest digit i where such an index leaves the bound: it
// follows the bound above i, has 0 where the bound has 1 at i, and is free
// below i.
std::uint64_t matchingBelow(std::uint64_t care, std::uint64_t value, int digits, std::uint64_t bound) {
    const std::uint64_t span = std::uint64_t{1} << digits;
    if (bound >= span) return std::uint64_t{1} << (digits - std::popcount(care & (span - 1)));
    std::uint64_t count = 0;
    for (int i = digits - 1; i >= 0; --i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        const bool wantsOne = (care & value & bit) != 0;
        const bool wantsZero = (care & ~value & bit) != 0;
        if ((bound & bit) != 0) {
            if (!wantsOne) count += std::uint64_t{1} << (i - std::popcount(care & (bit - 1)));
            if (wantsZero) return count;  // cannot follow the bound's 1 here
        } else if (wantsOne) {
            return count;  // cannot follow the bound's 0 here
        }
    }
    return count;
}

int wordDigits(int pictureBits) { return pictureBits > kWordDigits ? pictureBits - kWordDigits : 0; }

}  // namespace

std::uint64_t paintSteps(CubeMasks cube, int b, std::uint64_t pixelCount) {
    const int bits = positionBitCount(pixelCount);
    const WordCube c = wordCube(cube, b, bits);
    if (c.empty) return 0;
    const std::uint64_t words = (pixelCount + 63) >> kWordDigits;
    return matchingBelow(c.care, c.value, wordDigits(bits), words);
}

bool RecordPainter::start(std::uint64_t pixelCount, std::uint32_t* pixels) {
    pixels_ = pixels;
    bits_ = positionBitCount(pixelCount);
    const std::uint64_t words = (pixelCount + 63) >> kWordDigits;
    if (!painted_.allocate(words)) return false;
    // Positions past the picture count as painted: no cube reaches them.
    if ((pixelCount & 63) != 0) painted_[words - 1] = kAll << (pixelCount & 63);
    return true;
}

void RecordPainter::paint(CubeMasks cube, int b, std::uint32_t colour) {
    const WordCube c = wordCube(cube, b, bits_);
    if (c.empty) return;
    const std::uint64_t words = painted_.size();
    // The free word digits: the lowest ones make runs of consecutive words,
    // the others are walked as subsets in ascending order.
    const std::uint64_t free = ~c.care & ((std::uint64_t{1} << wordDigits(bits_)) - 1);
    const std::uint64_t run = std::uint64_t{1} << std::countr_one(free);
    const std::uint64_t spread = free & ~(run - 1);
    std::uint64_t sub = 0;
    do {
        const std::uint64_t first = c.value | sub;
        if (first >= words) break;
        const std::uint64_t end = std::min(first + run, words);
        for (std::uint64_t w = first; w < end; ++w) paintWord(w, c.positions, colour);
        sub = (sub - spread) & spread;  // the next subset of the spread digits
    } while (sub != 0);
}

void RecordPainter::paintWord(std::uint64_t word, std::uint64_t positions, std::uint32_t colour) {
    const std::uint64_t fresh = positions & ~painted_[word];
    if (fresh == 0) return;
    painted_[word] |= fresh;
    std::uint32_t* at = pixels_ + (word << kWordDigits);
    if (fresh == kAll) {
        std::fill(at, at + 64, colour);
        return;
    }
    for (std::uint64_t f = fresh; f != 0; f &= f - 1) at[std::countr_zero(f)] = colour;
}

}  // namespace qm5
