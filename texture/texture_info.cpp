#include "texture/texture_info.hpp"

#include <algorithm>

#include "core/byte_reader.hpp"

namespace qm5 {

namespace {

using Kind = TextureProblemKind;

class Inspector {
public:
    Inspector(std::span<const std::uint8_t> file, TextureInfo& info, std::uint64_t following, bool cubes)
        : file_(file), in_(file), info_(info), following_(following), cubes_(cubes) {}

    bool run();

private:
    void add(const TextureProblem& problem) {
        ++info_.problemCount;
        if (info_.keptProblems < info_.problems.size()) info_.problems[info_.keptProblems++] = problem;
    }
    TextureProblem at(Kind kind, std::int64_t image, std::int64_t record, std::uint64_t offset) const {
        TextureProblem p;
        p.kind = kind;
        p.image = image;
        p.record = record;
        p.offset = offset;
        return p;
    }
    // False when the file ends inside the image: nothing after it can be found.
    bool plainImage(std::int64_t image, ImageSummary& summary);
    bool compressedImage(std::int64_t image, ImageSummary& summary);
    void checkCubes(std::span<const std::uint8_t> data, int b, std::int64_t image, std::int64_t record,
                    std::uint64_t offset, ImageSummary& summary);

    std::span<const std::uint8_t> file_;
    ByteReader in_;
    TextureInfo& info_;
    std::uint64_t following_;  // bytes of the input after file_
    bool cubes_;               // read and judge the cubes of records
    std::int32_t colourCount_ = 0;
};

bool Inspector::run() {
    info_.fileSize = in_.size() + following_;
    if (!info_.problems.allocate(kMaxKeptProblems)) return false;
    const LayoutCheck check = checkTextureLayout(file_);
    const TextureLayout& layout = check.layout;
    info_.layout = layout;
    info_.headerRead = check.headerRead;
    info_.layoutKnown = check.sizesKnown;
    colourCount_ = layout.colourCount;
    // The header's problems, with the image count's among those that let
    // the images be walked (no record or index to walk when a size is 0).
    bool walkable = true;
    bool counted = false;
    const auto countImages = [&] {
        if (!counted && check.sizesKnown && layout.header.imageCount == 0) {
            add(at(Kind::noImages, -1, -1, kImageCountOffset));
        }
        counted = true;
    };
    for (const TextureProblem& problem : check.all()) {
        if (problem.kind != Kind::zeroSize && problem.kind != Kind::noColours) {
            countImages();
            walkable = false;
        }
        add(problem);
    }
    countImages();
    if (!walkable) return true;

    in_.seek(layout.imagesOffset);
    if (!info_.images.allocate(layout.header.imageCount)) return false;
    for (std::size_t i = 0; i < info_.images.size(); ++i) {
        ImageSummary& summary = info_.images[i];
        summary.offset = in_.offset();
        info_.imagesReached = i + 1;
        const bool complete = layout.compressed() ? compressedImage(static_cast<std::int64_t>(i), summary)
                                                  : plainImage(static_cast<std::int64_t>(i), summary);
        summary.complete = complete;
        summary.bytes = in_.offset() - summary.offset;
        if (!complete) return true;
    }
    if (!in_.atEnd() || following_ > 0) {
        TextureProblem p = at(Kind::trailingBytes, -1, -1, in_.offset());
        p.value = static_cast<std::int64_t>(in_.remaining() + following_);
        p.expected = info_.sizeKnown ? 0 : -1;
        add(p);
    }
    return true;
}

bool Inspector::plainImage(std::int64_t image, ImageSummary&) {
    const bool wide = plainIndexBytes(static_cast<std::uint64_t>(colourCount_)) == 2;
    const std::uint64_t need = info_.layout.pixelCount * (wide ? 2u : 1u);
    const std::uint64_t start = in_.offset();
    auto bytes = in_.readSpan(need);
    if (!bytes) {
        TextureProblem p = at(Kind::imageTruncated, image, -1, start);
        p.value = static_cast<std::int64_t>(in_.remaining());
        p.expected = static_cast<std::int64_t>(need);
        in_.seek(in_.size());
        add(p);
        return false;
    }
    // One-byte indices are all valid once the palette has 256 colours.
    if (!wide && colourCount_ >= 256) return true;
    // As the reader takes them: unsigned bytes, signed 16-bit values (a
    // negative one is 32768 or more unsigned, above any colour count).
    // The largest first, in a loop the compiler vectorises; counted and
    // the first found only when one is out of range.
    const std::uint8_t* data = bytes->data();
    const std::uint64_t n = info_.layout.pixelCount;
    const std::uint32_t colours = static_cast<std::uint32_t>(colourCount_);
    const auto index = [data, wide](std::uint64_t p) -> std::uint32_t {
        return wide ? static_cast<std::uint16_t>(data[2 * p] | (data[2 * p + 1] << 8)) : data[p];
    };
    std::uint32_t largest = 0;
    if (wide) {
        std::uint16_t most = 0;
        for (std::uint64_t p = 0; p < n; ++p) most = std::max(most, static_cast<std::uint16_t>(index(p)));
        largest = most;
    } else {
        std::uint8_t most = 0;
        for (std::uint64_t p = 0; p < n; ++p) most = std::max(most, data[p]);
        largest = most;
    }
    if (largest < colours) return true;
    std::uint64_t count = 0;
    for (std::uint64_t p = 0; p < n; ++p) count += index(p) >= colours ? 1 : 0;
    if (count == 0) return true;  // no pixel at all
    std::uint64_t p = 0;
    while (index(p) < colours) ++p;
    TextureProblem bad = at(Kind::indexOutOfRange, image, -1, start + p * (wide ? 2u : 1u));
    bad.value = wide ? static_cast<std::int16_t>(index(p)) : static_cast<std::int32_t>(index(p));
    bad.count = count;
    add(bad);
    return true;
}

bool Inspector::compressedImage(std::int64_t image, ImageSummary& summary) {
    const int expectedBits = info_.layout.positionBits;
    for (std::int32_t c = 0; c < colourCount_; ++c) {
        const std::uint64_t start = in_.offset();
        auto headBytes = in_.readSpan(kRecordHeadSize);
        if (!headBytes) {
            in_.seek(in_.size());
            add(at(Kind::recordTruncated, image, c, start));
            return false;
        }
        const RecordHead head = RecordHead::from(*headBytes);
        if (head.isEmpty()) {
            ++summary.emptyRecords;
            continue;
        }
        if (head.isWhole()) {
            ++summary.wholeRecords;
            continue;
        }
        ++summary.generalRecords;
        const int b = head.bitCount();
        // b = 0 with a one-pixel picture matches, but no general record can
        // have it: its cubes would have no bits.
        if (b != expectedBits || b == 0) {
            TextureProblem p = at(Kind::wrongBitCount, image, c, start + 2);
            p.value = b;
            p.expected = expectedBits;
            add(p);
        }
        auto data = in_.readSpan(head.dataLength());
        if (!data) {
            in_.seek(in_.size());
            add(at(Kind::recordTruncated, image, c, start));
            return false;
        }
        if (cubes_ && b >= 1 && b <= kMaxPositionBits) checkCubes(*data, b, image, c, start, summary);
    }
    return true;
}

void Inspector::checkCubes(std::span<const std::uint8_t> data, int b, std::int64_t image, std::int64_t record,
                           std::uint64_t offset, ImageSummary& summary) {
    const std::uint64_t n = cubeCountOf(data.size(), b);
    const std::uint64_t cubeBits = 2u * static_cast<std::uint64_t>(b);
    const std::uint64_t dataBits = 8u * data.size();
    // For b <= 3 the zero bits that pad the last byte can read as whole
    // cubes: a trailing run of zero cubes that starts inside the last byte
    // is fill, not content.
    std::uint64_t used = n;
    if (b <= 3) {
        while (used > 0 && cubeBits * (used - 1) + 8 > dataBits) {
            const CubeMasks cube = readCube(data, b, used - 1);
            if (cube.zero != 0 || cube.one != 0) break;
            --used;
        }
    }
    TextureProblem both = at(Kind::cubeBothMasks, image, record, offset);
    TextureProblem zero = at(Kind::zeroCube, image, record, offset);
    both.count = zero.count = 0;
    for (std::uint64_t k = 0; k < used; ++k) {
        const CubeMasks cube = readCube(data, b, k);
        if ((cube.zero & cube.one) != 0 && both.count++ == 0) {
            both.cube = static_cast<std::int64_t>(k);
            both.value = cube.zero & cube.one;
        }
        if (cube.zero == 0 && cube.one == 0 && zero.count++ == 0) zero.cube = static_cast<std::int64_t>(k);
    }
    summary.cubes += used;
    if (both.count > 0) add(both);
    if (zero.count > 0) add(zero);
    for (std::uint64_t q = cubeBits * n; q < dataBits; ++q) {
        if (((data[q >> 3] >> (q & 7)) & 1u) != 0) {
            add(at(Kind::fillBits, image, record, offset));
            break;
        }
    }
}

}  // namespace

bool inspectTexture(std::span<const std::uint8_t> file, TextureInfo& info, std::uint64_t following, bool sizeKnown,
                    bool cubes) {
    info = TextureInfo{};
    info.sizeKnown = sizeKnown;
    return Inspector(file, info, following, cubes).run();
}

}  // namespace qm5
