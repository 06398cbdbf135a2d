#include "minimiser/ternary.hpp"

#include "minimiser/bitmap.hpp"

namespace qm5::fast {

namespace {

// 8 binary digits at a time as ternary numbers (at most 3^8 - 1 = 6560).
constexpr std::array<std::uint16_t, 256> kTernaryOfByte = [] {
    std::array<std::uint16_t, 256> t{};
    for (std::size_t x = 0; x < 256; ++x) {
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 8; ++k) {
            if ((x >> k) & 1) v += static_cast<std::uint32_t>(kPow3[k]);
        }
        t[x] = static_cast<std::uint16_t>(v);
    }
    return t;
}();

// Care and one masks of the 3^8 ternary numbers of 8 digits.
struct ByteMasks {
    std::uint8_t care;
    std::uint8_t one;
};
constexpr std::uint64_t kChunk = 6561;  // 3^8
const std::array<ByteMasks, kChunk> kMasksOfChunk = [] {
    std::array<ByteMasks, kChunk> t{};
    for (std::size_t x = 0; x < kChunk; ++x) {
        std::size_t v = x;
        unsigned care = 0;
        unsigned one = 0;
        for (unsigned k = 0; k < 8; ++k, v /= 3) {
            if (v % 3 != 2) care |= 1u << k;
            if (v % 3 == 1) one |= 1u << k;
        }
        t[x] = {static_cast<std::uint8_t>(care), static_cast<std::uint8_t>(one)};
    }
    return t;
}();

}  // namespace

std::uint64_t ternaryOfBinary(std::uint64_t x) {
    std::uint64_t t = 0;
    std::uint64_t scale = 1;
    while (x != 0) {
        t += kTernaryOfByte[x & 0xFF] * scale;
        x >>= 8;
        scale *= kChunk;
    }
    return t;
}

CareOne ternaryMasks(std::uint64_t x, int n) {
    CareOne m;
    for (int shift = 0; shift < n; shift += 8) {
        const ByteMasks chunk = kMasksOfChunk[x % kChunk];
        x /= kChunk;
        m.care |= std::uint32_t{chunk.care} << shift;
        m.one |= std::uint32_t{chunk.one} << shift;
    }
    m.care &= bitmap::lowBits(n);
    m.one &= bitmap::lowBits(n);
    return m;
}

}  // namespace qm5::fast
