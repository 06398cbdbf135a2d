#include "texture/texture_decoder.hpp"

#include <algorithm>
#include <bit>

#include "core/byte_reader.hpp"
#include "texture/record_painter.hpp"

namespace qm5 {

namespace {

using Kind = TextureProblemKind;

TextureProblem problemAt(Kind kind, std::int64_t image, std::int64_t record, std::uint64_t offset,
                         std::int64_t value = 0, std::int64_t expected = 0) {
    TextureProblem p;
    p.kind = kind;
    p.image = image;
    p.record = record;
    p.offset = offset;
    p.value = value;
    p.expected = expected;
    return p;
}

TextureProblem outOfMemory() { return problemAt(Kind::outOfMemory, -1, -1, 0); }

// A plain image that the file cuts: the bytes it holds of those needed.
TextureProblem imageCut(const ByteReader& in, std::int64_t image, std::uint64_t need) {
    return problemAt(Kind::imageTruncated, image, -1, in.offset(), static_cast<std::int64_t>(in.remaining()),
                     static_cast<std::int64_t>(need));
}

// The cubes of a general record that paint: zero bits that pad the last
// byte read as cubes with both masks zero when b <= 3, and the writer never
// writes such a cube.
template <class Visit>
void forEachCube(std::span<const std::uint8_t> data, int b, Visit visit) {
    CubeStreamReader cubes(data, b);
    for (std::uint64_t k = cubes.count(); k > 0; --k) {
        const CubeMasks cube = cubes.next();
        if (cube.zero != 0 || cube.one != 0) visit(cube);
    }
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// Walks one compressed image, reader at its first record: every head and
// data length in the file and every general b possible. With work, also
// sums the painting steps of the image; with a painter, paints it.
TextureProblem walkCompressedImage(ByteReader& in, const TextureLayout& layout, std::span<const std::uint32_t> palette,
                                   std::int64_t image, std::uint64_t* work, RecordPainter* painter) {
    const std::uint64_t pixels = layout.pixelCount;
    for (std::int32_t c = 0; c < layout.colourCount; ++c) {
        const std::uint64_t at = in.offset();
        auto headBytes = in.readSpan(kRecordHeadSize);
        if (!headBytes) return problemAt(Kind::recordTruncated, image, c, at);
        const RecordHead head = RecordHead::from(*headBytes);
        const std::uint32_t colour = palette.empty() ? 0 : palette[static_cast<std::size_t>(c)];
        if (head.isWhole()) {
            if (work != nullptr) *work = saturatingAdd(*work, paintSteps({}, layout.positionBits, pixels));
            if (painter != nullptr) painter->paintAll(colour);
        }
        if (!head.isGeneral()) continue;
        const int b = head.bitCount();
        if (b == 0 || b > kMaxPositionBits) {
            return problemAt(Kind::wrongBitCount, image, c, at + 2, b, layout.positionBits);
        }
        auto data = in.readSpan(head.dataLength());
        if (!data) return problemAt(Kind::recordTruncated, image, c, at);
        if (work != nullptr) forEachCube(*data, b, [&](CubeMasks cube) { *work = saturatingAdd(*work, paintSteps(cube, b, pixels)); });
        if (painter != nullptr) forEachCube(*data, b, [&](CubeMasks cube) { painter->paint(cube, b, colour); });
    }
    return {};
}

// Checks the indices of one plain image, reader at its first index.
TextureProblem checkPlainImage(ByteReader& in, const TextureLayout& layout, std::int64_t image) {
    const std::uint64_t start = in.offset();
    const auto indices = in.readSpan(layout.plainImageBytes());
    if (!indices) return imageCut(in, image, layout.plainImageBytes());
    if (layout.indexBytes() == 1) {
        if (layout.colourCount >= 256) return {};
        for (std::uint64_t p = 0; p < layout.pixelCount; ++p) {
            if ((*indices)[p] >= layout.colourCount) {
                return problemAt(Kind::indexOutOfRange, image, -1, start + p, (*indices)[p]);
            }
        }
        return {};
    }
    // Signed 16-bit values: the classic reader's view.
    for (std::uint64_t p = 0; p < layout.pixelCount; ++p) {
        const std::int32_t index = static_cast<std::int16_t>((*indices)[2 * p] | ((*indices)[2 * p + 1] << 8));
        if (index < 0 || index >= layout.colourCount) {
            return problemAt(Kind::indexOutOfRange, image, -1, start + 2 * p, index);
        }
    }
    return {};
}

void paintPlainImage(ByteReader in, const TextureLayout& layout, std::span<const std::uint32_t> palette,
                     Picture& picture) {
    const auto indices = *in.readSpan(layout.plainImageBytes());
    if (layout.indexBytes() == 1) {
        for (std::uint64_t p = 0; p < layout.pixelCount; ++p) picture.pixels[p] = palette[indices[p]];
        return;
    }
    for (std::uint64_t p = 0; p < layout.pixelCount; ++p) {
        const std::uint32_t index = static_cast<std::uint32_t>(indices[2 * p] | (indices[2 * p + 1] << 8));
        picture.pixels[p] = palette[index];
    }
}

}  // namespace

TextureProblem TextureDecoder::open(std::span<const std::uint8_t> file, const DecodeOptions& options) {
    file_ = file;
    options_ = options;
    opened_ = false;
    offsets_.reset();
    work_.reset();
    palette_.reset();
    const LayoutCheck check = checkTextureLayout(file);
    layout_ = check.layout;
    const TextureProblem first = check.first();
    // A cut palette comes after the caller's limit: a huge picture is
    // refused as such even when its file is cut short too.
    if (first && first.kind != Kind::paletteTruncated) return first;
    if (layout_.pixelCount > options.maxPixels) {
        return problemAt(Kind::tooLarge, -1, -1, kWidthOffset, static_cast<std::int64_t>(layout_.pixelCount),
                         static_cast<std::int64_t>(options.maxPixels));
    }
    if (first) return first;
    if (!palette_.allocate(static_cast<std::uint64_t>(layout_.colourCount))) return outOfMemory();
    for (std::size_t k = 0; k < palette_.size(); ++k) {
        palette_[k] = options.indices ? static_cast<std::uint32_t>(k) : layout_.colour(k);
    }
    opened_ = true;
    return {};
}

TextureProblem TextureDecoder::check(std::span<const std::uint8_t> file, std::int64_t first, std::int64_t end,
                                     const DecodeOptions& options) {
    if (const TextureProblem problem = open(file, options)) return problem;
    return check(first, end);
}

TextureProblem TextureDecoder::check(std::int64_t first, std::int64_t end) {
    offsets_.reset();
    work_.reset();
    first_ = first;
    if (!opened_ || first < 0 || end <= first) {
        return problemAt(Kind::noSuchImage, first, -1, kImageCountOffset, 0, layout_.header.imageCount);
    }
    const std::uint64_t checked = static_cast<std::uint64_t>(end - first);
    if (!offsets_.allocate(checked) || !work_.allocate(checked)) return outOfMemory();
    ByteReader in(file_);
    in.seek(layout_.imagesOffset);
    const bool compressed = layout_.compressed();
    const bool counted = options_.maxPaintWork != kNoLimit;
    const std::uint64_t pixels = layout_.pixelCount;
    // The images before the first asked for are only found, not judged.
    for (std::int64_t image = 0; image < end; ++image) {
        const bool judged = image >= first_;
        const std::size_t slot = static_cast<std::size_t>(judged ? image - first_ : 0);
        if (judged) offsets_[slot] = in.offset();
        std::uint64_t work = 0;
        TextureProblem problem;
        if (compressed) {
            problem = walkCompressedImage(in, layout_, {}, image, judged && counted ? &work : nullptr, nullptr);
        } else if (judged) {
            problem = checkPlainImage(in, layout_, image);
        } else if (in.remaining() < layout_.plainImageBytes()) {
            problem = imageCut(in, image, layout_.plainImageBytes());
        } else {
            (void)in.skip(layout_.plainImageBytes());
        }
        if (problem) return problem;
        if (!judged) continue;
        work_[slot] = work;
        // work / P against the limit, rounded up, without overflow.
        const std::uint64_t steps = work / pixels + (work % pixels != 0 ? 1 : 0);
        if (steps > options_.maxPaintWork) {
            return problemAt(Kind::tooMuchWork, image, -1, offsets_[slot],
                             static_cast<std::int64_t>(std::min<std::uint64_t>(steps, INT64_MAX)),
                             static_cast<std::int64_t>(options_.maxPaintWork));
        }
    }
    return {};
}

std::uint64_t TextureDecoder::paintWork(std::int64_t image) const {
    const std::int64_t slot = image - first_;
    return slot >= 0 && static_cast<std::uint64_t>(slot) < work_.size() ? work_[static_cast<std::size_t>(slot)] : 0;
}

TextureProblem TextureDecoder::decode(std::int64_t image, Picture& out) const {
    out = Picture{};
    const std::int64_t slot = image - first_;
    if (slot < 0 || static_cast<std::uint64_t>(slot) >= offsets_.size()) {
        return problemAt(Kind::noSuchImage, image, -1, kImageCountOffset, 0, layout_.header.imageCount);
    }
    Picture picture;
    if (!picture.allocate(layout_.width, layout_.height)) return problemAt(Kind::outOfMemory, image, -1, 0);
    ByteReader in(file_);
    in.seek(offsets_[static_cast<std::size_t>(slot)]);
    if (layout_.compressed()) {
        RecordPainter painter;
        if (!painter.start(layout_.pixelCount, picture.pixels.data())) return problemAt(Kind::outOfMemory, image, -1, 0);
        (void)walkCompressedImage(in, layout_, palette_.span(), image, nullptr, &painter);
    } else {
        paintPlainImage(in, layout_, palette_.span(), picture);
    }
    out = std::move(picture);
    return {};
}

TextureProblem decodeTextureImage(std::span<const std::uint8_t> file, std::int64_t imageIndex, Picture& out,
                                  const DecodeOptions& options) {
    out = Picture{};
    if (imageIndex == INT64_MAX) {
        return problemAt(Kind::noSuchImage, imageIndex, -1, kImageCountOffset);
    }
    TextureDecoder decoder;
    if (const TextureProblem problem = decoder.check(file, imageIndex, imageIndex + 1, options)) return problem;
    return decoder.decode(imageIndex, out);
}

}  // namespace qm5
