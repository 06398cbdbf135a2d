#include <array>
#include <bit>
#include <cstdint>

#include "minimiser/fast_engine.hpp"

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

// Bit j of kBitOf[i] is bit i of j: the positions 0 .. 63 of a bitmap word.
constexpr std::array<std::uint64_t, 6> kBitOf = {0xAAAAAAAAAAAAAAAAull, 0xCCCCCCCCCCCCCCCCull, 0xF0F0F0F0F0F0F0F0ull,
                                                 0xFF00FF00FF00FF00ull, 0xFFFF0000FFFF0000ull, 0xFFFFFFFF00000000ull};

// The positions j of one word that match the six low digits, by
// (care << 6) | one.
constexpr std::array<std::uint64_t, 4096> kLowPatterns = [] {
    std::array<std::uint64_t, 4096> t{};
    for (std::uint32_t care = 0; care < 64; ++care) {
        for (std::uint32_t one = 0; one < 64; ++one) {
            std::uint64_t pattern = ~std::uint64_t{0};
            for (unsigned i = 0; i < 6; ++i) {
                if ((care >> i) & 1u) pattern &= ((one >> i) & 1u) ? kBitOf[i] : ~kBitOf[i];
            }
            t[(care << 6) | one] = pattern;
        }
    }
    return t;
}();
std::uint64_t lowPattern(std::uint32_t care, std::uint32_t one) { return kLowPatterns[((care & 63) << 6) | (one & 63)]; }

// Appends the low n bits of value, most significant first, to a stream
// that fills each byte from its lowest bit.
class BitStream {
public:
    explicit BitStream(std::uint8_t* out) : out_(out) {}
    void putMsbFirst(std::uint32_t value, int n) {
        acc_ |= std::uint64_t{reverseLow(value, n)} << bits_;
        bits_ += n;
        while (bits_ >= 8) {
            *out_++ = static_cast<std::uint8_t>(acc_);
            acc_ >>= 8;
            bits_ -= 8;
        }
    }
    void finish() {
        if (bits_ > 0) *out_++ = static_cast<std::uint8_t>(acc_);
    }

private:
    std::uint8_t* out_;
    std::uint64_t acc_ = 0;
    int bits_ = 0;
};

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
    m.care &= lowBits(n);
    m.one &= lowBits(n);
    return m;
}

bool headRecord(const RecordHead& head, HeapArray<std::uint8_t>& record) {
    if (!record.allocate(kRecordHeadSize)) return false;
    head.write(record.data());
    return true;
}

bool encodeRecord(std::span<const CubeMasks> cubes, int b, HeapArray<std::uint8_t>& record) {
    const std::uint64_t length = cubeDataLength(cubes.size(), b);
    if (!record.allocate(kRecordHeadSize + length)) return false;
    const RecordHead head = RecordHead::general(static_cast<std::uint32_t>(length), b);
    head.write(record.data());
    // Each cube is its zero mask then its one mask, each from bit b - 1 down.
    BitStream stream(record.data() + kRecordHeadSize);
    for (const CubeMasks& cube : cubes) {
        stream.putMsbFirst(cube.zero, b);
        stream.putMsbFirst(cube.one, b);
    }
    stream.finish();
    return true;
}

std::uint64_t CoverBuilder::bytesFor(int b, std::int64_t maxDataLength) {
    const std::uint64_t words = b <= 6 ? 1 : std::uint64_t{1} << (b - 6);
    const std::uint64_t cubes = b > 0 ? static_cast<std::uint64_t>(maxDataLength) * 8 / (2 * static_cast<std::uint64_t>(b)) : 0;
    return 2 * words * sizeof(std::uint64_t) + (cubes + 1) * sizeof(CubeMasks);
}

bool CoverBuilder::prepare(int b, std::int64_t maxDataLength) {
    const std::size_t words = b <= 6 ? 1 : std::size_t{1} << (b - 6);
    // The most cubes whose data, ceil(2bn / 8) bytes, fits the head's length.
    const std::uint64_t maxCubes =
        b > 0 && maxDataLength > 0 ? static_cast<std::uint64_t>(maxDataLength) * 8 / (2 * static_cast<std::uint64_t>(b)) : 0;
    if (b == b_ && maxCubes == maxCubes_ && on_.size() == words) return true;
    b_ = -1;
    if (!on_.allocate(words) || !covered_.allocate(words) || !cubes_.allocate(maxCubes + 1)) return false;
    b_ = b;
    words_ = words;
    maxCubes_ = maxCubes;
    count_ = 0;
    return true;
}

void CoverBuilder::start() {
    std::fill(on_.begin(), on_.end(), std::uint64_t{0});
    std::fill(covered_.begin(), covered_.end(), std::uint64_t{0});
    count_ = 0;
}

bool CoverBuilder::visit(std::span<const std::uint64_t> sortedKeys) {
    const int b = b_;
    const std::uint32_t all = lowBits(b);
    std::uint64_t* on = on_.data();
    std::uint64_t* covered = covered_.data();
    for (const std::uint64_t key : sortedKeys) {
        const CareOne m = keyMasks(key, b);
        std::uint64_t pattern;
        std::uint32_t base = 0;
        std::uint32_t highFree = 0;
        if (b <= 6) {
            // Bits b .. 5 of a word are no positions: held at 0.
            pattern = lowPattern(m.care | (0x3Fu & ~all), m.one);
        } else {
            pattern = lowPattern(m.care & 0x3Fu, m.one & 0x3Fu);
            base = m.one >> 6;
            highFree = ~(m.care >> 6) & (all >> 6);
        }
        // Written when it holds an on position and one not yet covered.
        bool anyOn = false;
        bool anyOpen = false;
        std::uint32_t s = 0;
        do {
            const std::uint32_t w = base | s;
            anyOn = anyOn || (on[w] & pattern) != 0;
            anyOpen = anyOpen || (~covered[w] & pattern) != 0;
            if (anyOn && anyOpen) break;
            s = (s - highFree) & highFree;
        } while (s != 0);
        if (!anyOn || !anyOpen) continue;
        s = 0;
        do {
            covered[base | s] |= pattern;
            s = (s - highFree) & highFree;
        } while (s != 0);
        if (count_ == maxCubes_) return false;
        cubes_[count_++] = CubeMasks{m.care & ~m.one, m.one};
    }
    return true;
}

MinimiseStatus CoverBuilder::writeRecord(HeapArray<std::uint8_t>& record) const {
    return encodeRecord({cubes_.data(), count_}, b_, record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
}

}  // namespace qm5::fast
