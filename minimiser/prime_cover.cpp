#include "minimiser/prime_cover.hpp"

namespace qm5::fast {

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
    CubeStreamWriter writer(record.span().subspan(kRecordHeadSize), b);
    for (const CubeMasks& cube : cubes) {
        if (!writer.put(cube)) return false;
    }
    return true;
}

namespace {

// The most cubes whose data, ceil(2bn / 8) bytes, fits maxDataLength.
std::uint64_t maxCubesFor(int b, std::int64_t maxDataLength) {
    if (b <= 0 || maxDataLength <= 0) return 0;
    return static_cast<std::uint64_t>(maxDataLength) * 8 / (2 * static_cast<std::uint64_t>(b));
}

}  // namespace

std::uint64_t CoverBuilder::bytesFor(int b, std::int64_t maxDataLength) {
    return 2 * bitmap::wordsFor(b) * sizeof(std::uint64_t) + (maxCubesFor(b, maxDataLength) + 1) * sizeof(CubeMasks);
}

bool CoverBuilder::prepare(int b, std::int64_t maxDataLength) {
    const std::size_t words = bitmap::wordsFor(b);
    const std::uint64_t maxCubes = maxCubesFor(b, maxDataLength);
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
    const std::uint64_t* on = on_.data();
    std::uint64_t* covered = covered_.data();
    for (const std::uint64_t key : sortedKeys) {
        const KeyMasks m = keyMasks(key, b);
        const bitmap::CubeWords words(b, m.care, m.one);
        // Written when it holds an on position and one not yet covered.
        bool anyOn = false;
        bool anyOpen = false;
        words.each([&](std::uint32_t w, std::uint64_t pattern) {
            anyOn = anyOn || (on[w] & pattern) != 0;
            anyOpen = anyOpen || (~covered[w] & pattern) != 0;
            return !(anyOn && anyOpen);
        });
        if (!anyOn || !anyOpen) continue;
        words.each([&](std::uint32_t w, std::uint64_t pattern) {
            covered[w] |= pattern;
            return true;
        });
        if (count_ == maxCubes_) return false;
        cubes_[count_++] = CubeMasks{m.care & ~m.one, m.one};
    }
    return true;
}

MinimiseStatus CoverBuilder::writeRecord(HeapArray<std::uint8_t>& record) const {
    return encodeRecord({cubes_.data(), count_}, b_, record) ? MinimiseStatus::ok : MinimiseStatus::outOfMemory;
}

}  // namespace qm5::fast
