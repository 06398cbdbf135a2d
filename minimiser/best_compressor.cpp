// BestCompressor: the colours of a picture with the covers of CoverSolver.
#include <algorithm>

#include "minimiser/best_cover.hpp"
#include "minimiser/prime_cover.hpp"

namespace qm5 {

namespace {

template <class T>
bool ensure(HeapArray<T>& a, std::uint64_t n) {
    return a.size() >= n || a.allocate(n);
}

}  // namespace

MinimiseStatus BestCompressor::compress(const std::uint32_t* indices, std::uint64_t pixelCount,
                                        std::uint32_t colourCount, const CompressOptions& options, const Sink& sink) {
    failedColour_ = 0;
    if (indices == nullptr && pixelCount > 0) return MinimiseStatus::invalidTable;
    const int b = positionBitCount(pixelCount);
    if (b > kMaxPositionBits) return MinimiseStatus::outOfMemory;
    // The positions of each colour, ascending, colour by colour.
    HeapArray<std::uint64_t> start;
    HeapArray<std::uint32_t> positions;
    if (!start.allocate(std::uint64_t{colourCount} + 1) || !positions.allocate(pixelCount)) {
        return MinimiseStatus::outOfMemory;
    }
    for (std::uint64_t p = 0; p < pixelCount; ++p) {
        if (indices[p] >= colourCount) return MinimiseStatus::invalidTable;
        ++start[indices[p] + 1];
    }
    for (std::uint32_t c = 0; c < colourCount; ++c) start[c + 1] += start[c];
    {
        HeapArray<std::uint64_t> fill;
        if (!fill.allocate(colourCount)) return MinimiseStatus::outOfMemory;
        std::copy(start.data(), start.data() + colourCount, fill.data());
        for (std::uint64_t p = 0; p < pixelCount; ++p) positions[fill[indices[p]]++] = static_cast<std::uint32_t>(p);
    }

    // The maker's cover may pass 65535 data bytes where the smaller one
    // does not; it has at most 2^b cubes (each holds a position that no
    // earlier one does).
    PictureCompressor maker;
    maker.setMaxDataLength(static_cast<std::int64_t>(
        std::max<std::uint64_t>(limits_.maxDataLength, cubeDataLength(std::uint64_t{1} << b, b))));

    CoverSolver solver;
    solver.setLimits(limits_);
    HeapArray<CubeMasks> candidates;
    HeapArray<std::uint8_t> record;
    MinimiseStatus failure = MinimiseStatus::ok;
    const Sink smaller = [&](std::uint32_t c, std::span<const std::uint8_t> makers) {
        const RecordHead head = RecordHead::from(makers);
        const std::span<const std::uint8_t> data = makers.subspan(kRecordHeadSize);
        if (!head.isGeneral() || data.empty()) return sink(c, makers);
        // The data length is read from the record's size: the head keeps
        // only 16 bits of it. Zero cubes are the padding of small b.
        const std::uint64_t count = cubeCountOf(data.size(), b);
        if (!ensure(candidates, count)) {
            failure = MinimiseStatus::outOfMemory;
        } else {
            std::size_t n = 0;
            for (std::uint64_t k = 0; k < count; ++k) {
                const CubeMasks cube = readCube(data, b, k);
                if ((cube.zero | cube.one) != 0) candidates[n++] = cube;
            }
            const std::span<const std::uint32_t> on(positions.data() + start[c],
                                                    static_cast<std::size_t>(start[c + 1] - start[c]));
            failure = solver.solve(b, on, {candidates.data(), n});
        }
        if (failure == MinimiseStatus::ok && cubeDataLength(solver.cubes().size(), b) > limits_.maxDataLength) {
            failure = MinimiseStatus::recordTooLong;
        }
        if (failure == MinimiseStatus::ok && !fast::encodeRecord(solver.cubes(), b, record)) {
            failure = MinimiseStatus::outOfMemory;
        }
        if (failure != MinimiseStatus::ok) {
            failedColour_ = c;
            return false;
        }
        return sink(c, record.span());
    };
    const MinimiseStatus status = maker.compress(indices, pixelCount, colourCount, options, smaller);
    if (failure != MinimiseStatus::ok) return failure;
    if (status != MinimiseStatus::ok) failedColour_ = maker.failedColour();
    return status;
}

}  // namespace qm5
