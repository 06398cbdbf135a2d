#pragma once
// The format's own decoding, as simple as it can be, for differential tests
// of the fast decoder: plain indices through the palette; compressed records
// painted from the last index down, position by position, a pixel taking
// the palette index of every record that covers it. A b-bit record covers
// positions below 2^b; cubes with both masks zero are fill and paint
// nothing.

#include <cstdint>
#include <span>
#include <vector>

#include "core/byte_reader.hpp"
#include "texture/texture_format.hpp"

namespace qm5::test {

// The palette index of every pixel of image `image` of a texture the
// decoder accepted (-1 where no record paints).
inline std::vector<std::int32_t> referenceIndices(std::span<const std::uint8_t> file, std::int64_t image) {
    const LayoutCheck check = checkTextureLayout(file);
    const TextureLayout& layout = check.layout;
    std::vector<std::int32_t> pixels(layout.pixelCount, -1);
    ByteReader in(file);
    in.seek(layout.imagesOffset);
    std::vector<std::pair<RecordHead, std::span<const std::uint8_t>>> records;
    for (std::int64_t i = 0; i <= image; ++i) {
        if (!layout.compressed()) {
            const auto indices = *in.readSpan(layout.plainImageBytes());
            for (std::uint64_t p = 0; p < pixels.size() && i == image; ++p) {
                pixels[p] = layout.indexBytes() == 1 ? indices[p] : indices[2 * p] | (indices[2 * p + 1] << 8);
            }
            continue;
        }
        records.clear();
        for (std::int32_t c = 0; c < layout.colourCount; ++c) {
            const RecordHead head = RecordHead::from(*in.readSpan(kRecordHeadSize));
            records.emplace_back(head, *in.readSpan(head.dataLength()));
        }
    }
    for (std::size_t c = records.size(); c-- > 0;) {
        const auto& [head, data] = records[c];
        if (head.isEmpty()) continue;
        const int b = head.bitCount();
        const std::uint64_t n = head.isWhole() ? 0 : cubeCountOf(data.size(), b);
        std::vector<CubeMasks> cubes;
        for (std::uint64_t k = 0; k < n; ++k) {
            const CubeMasks cube = readCube(data, b, k);
            if (cube.zero != 0 || cube.one != 0) cubes.push_back(cube);
        }
        for (std::uint64_t p = 0; p < pixels.size(); ++p) {
            bool covered = head.isWhole();
            for (std::size_t k = 0; k < cubes.size() && !covered; ++k) {
                covered = p < (std::uint64_t{1} << b) && cubes[k].covers(static_cast<std::uint32_t>(p));
            }
            if (covered) pixels[p] = static_cast<std::int32_t>(c);
        }
    }
    return pixels;
}

// The same as colours (red in bits 0..7; 0 where no record paints).
inline std::vector<std::uint32_t> referenceColours(std::span<const std::uint8_t> file, std::int64_t image) {
    const LayoutCheck check = checkTextureLayout(file);
    std::vector<std::uint32_t> colours;
    for (const std::int32_t index : referenceIndices(file, image)) {
        colours.push_back(index < 0 ? 0 : check.layout.colour(static_cast<std::size_t>(index)));
    }
    return colours;
}

}  // namespace qm5::test
