#include "texture/texture_decoder.hpp"

#include <algorithm>
#include <bit>

#include "core/byte_reader.hpp"
#include "texture/descending_painter.hpp"
#include "texture/mask_painter.hpp"
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

// Walks the records of one compressed image, reader at its first record:
// every head and data length in the file and every general b possible.
// visit(index, head, data) sees each record in turn and returns whether to
// go on.
template <class Visit>
TextureProblem walkRecords(ByteReader& in, const TextureLayout& layout, std::int64_t image, Visit visit) {
    for (std::int32_t c = 0; c < layout.colourCount; ++c) {
        const std::uint64_t at = in.offset();
        auto headBytes = in.readSpan(kRecordHeadSize);
        if (!headBytes) return problemAt(Kind::recordTruncated, image, c, at);
        const RecordHead head = RecordHead::from(*headBytes);
        std::span<const std::uint8_t> data;
        if (head.isGeneral()) {
            const int b = head.bitCount();
            if (b == 0 || b > kMaxPositionBits) {
                return problemAt(Kind::wrongBitCount, image, c, at + 2, b, layout.positionBits);
            }
            auto bytes = in.readSpan(head.dataLength());
            if (!bytes) return problemAt(Kind::recordTruncated, image, c, at);
            data = *bytes;
        }
        if (!visit(c, head, data)) break;
    }
    return {};
}

// Checks the indices of one plain image, reader at its first index: the
// largest first, in a loop the compiler vectorises, and the first one out
// of range only when there is one.
TextureProblem checkPlainImage(ByteReader& in, const TextureLayout& layout, std::int64_t image) {
    const std::uint64_t start = in.offset();
    const auto indices = in.readSpan(layout.plainImageBytes());
    if (!indices) return imageCut(in, image, layout.plainImageBytes());
    const std::uint8_t* at = indices->data();
    const std::uint64_t n = layout.pixelCount;
    const std::uint32_t colours = static_cast<std::uint32_t>(layout.colourCount);
    if (layout.indexBytes() == 1) {
        if (colours >= 256) return {};
        std::uint8_t largest = 0;
        for (std::uint64_t p = 0; p < n; ++p) largest = std::max(largest, at[p]);
        if (largest < colours) return {};
        for (std::uint64_t p = 0; p < n; ++p) {
            if (at[p] >= colours) return problemAt(Kind::indexOutOfRange, image, -1, start + p, at[p]);
        }
        return {};
    }
    // Signed 16-bit values, the classic reader's view: a negative one is
    // 32768 or more unsigned, above any colour count.
    const auto index = [at](std::uint64_t p) { return static_cast<std::uint16_t>(at[2 * p] | (at[2 * p + 1] << 8)); };
    std::uint16_t largest = 0;
    for (std::uint64_t p = 0; p < n; ++p) largest = std::max(largest, index(p));
    if (largest < colours) return {};
    for (std::uint64_t p = 0; p < n; ++p) {
        if (index(p) >= colours) {
            return problemAt(Kind::indexOutOfRange, image, -1, start + 2 * p, static_cast<std::int16_t>(index(p)));
        }
    }
    return {};
}

}  // namespace

TextureProblem TextureDecoder::open(std::span<const std::uint8_t> file, const DecodeOptions& options) {
    file_ = file;
    options_ = options;
    opened_ = false;
    offsets_.reset();
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
    HeapArray<std::uint32_t> palette;
    if (!palette.allocate(static_cast<std::uint64_t>(layout_.colourCount))) return outOfMemory();
    for (std::size_t k = 0; k < palette.size(); ++k) palette[k] = layout_.colour(k);
    if (!tables_.make(palette.span())) return outOfMemory();
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
    first_ = first;
    if (!opened_ || first < 0 || end <= first) {
        return problemAt(Kind::noSuchImage, first, -1, kImageCountOffset, 0, layout_.header.imageCount);
    }
    if (!offsets_.allocate(static_cast<std::uint64_t>(end - first))) return outOfMemory();
    ByteReader in(file_);
    in.seek(layout_.imagesOffset);
    const auto findOnly = [](std::int32_t, RecordHead, std::span<const std::uint8_t>) { return true; };
    // The images before the first asked for are only found, not judged.
    for (std::int64_t image = 0; image < end; ++image) {
        const bool judged = image >= first_;
        if (judged) offsets_[static_cast<std::size_t>(image - first_)] = in.offset();
        TextureProblem problem;
        if (layout_.compressed()) {
            problem = walkRecords(in, layout_, image, findOnly);
        } else if (judged) {
            problem = checkPlainImage(in, layout_, image);
        } else if (!in.skip(layout_.plainImageBytes())) {
            problem = imageCut(in, image, layout_.plainImageBytes());
        }
        if (problem) return problem;
    }
    return {};
}

TextureProblem TextureDecoder::decode(std::int64_t image, Picture& out) const {
    out = Picture{};
    const std::int64_t slot = image - first_;
    if (slot < 0 || static_cast<std::uint64_t>(slot) >= offsets_.size()) {
        return problemAt(Kind::noSuchImage, image, -1, kImageCountOffset, 0, layout_.header.imageCount);
    }
    Picture picture;
    if (!picture.allocate(layout_.width, layout_.height)) return problemAt(Kind::outOfMemory, image, -1, 0);
    const PixelFormat format = options_.indices ? PixelFormat::indices : PixelFormat::colours;
    if (const TextureProblem problem = decodeAt(image, offsets_[static_cast<std::size_t>(slot)], format,
                                                picture.pixels.data(), options_, true)) {
        return problem;
    }
    out = std::move(picture);
    return {};
}

TextureProblem TextureDecoder::decodeAt(std::int64_t image, std::uint64_t offset, PixelFormat format, void* out,
                                        const DecodeOptions& limits, bool indicesJudged) const {
    if (!opened_) return problemAt(Kind::noSuchImage, image, -1, kImageCountOffset, 0, layout_.header.imageCount);
    ByteReader in(file_);
    if (!in.seek(offset)) return problemAt(Kind::imageTruncated, image, -1, file_.size());
    const PixelTarget target{format, &tables_, out};
    if (!layout_.compressed()) {
        if (indicesJudged) {
            if (in.remaining() < layout_.plainImageBytes()) return imageCut(in, image, layout_.plainImageBytes());
        } else if (const TextureProblem problem = checkPlainImage(in, layout_, image)) {
            return problem;
        }
        storePlainIndices(file_.subspan(static_cast<std::size_t>(offset)), layout_.indexBytes() == 2,
                          layout_.pixelCount, target);
        return {};
    }
    // Every record's head and data are checked before anything is painted.
    ByteReader walk = in;
    const auto findOnly = [](std::int32_t, RecordHead, std::span<const std::uint8_t>) { return true; };
    if (const TextureProblem problem = walkRecords(walk, layout_, image, findOnly)) return problem;
    return layout_.colourCount <= 256 ? paintImage<std::uint8_t>(in, image, target, limits)
                                      : paintImage<std::uint16_t>(in, image, target, limits);
}

// The records of a compressed image that ends in a whole record painted
// from the top down (texture/descending_painter.hpp) or by masks
// (texture/mask_painter.hpp), as a sample of its cubes says pays: false
// when neither does, or memory ran out (then the record painter paints
// them). One of the two is tried at most, within the bounds below: an
// image that makes it decline costs at most those and the record
// painter's budget, as it did when painting from the top was the only
// path tried first.
template <class Cell>
bool TextureDecoder::paintFromTheTop(ByteReader in, std::int64_t image, Cell* cells, std::uint64_t budget) const {
    HeapArray<RecordData> records;
    if (!records.allocate(static_cast<std::uint64_t>(layout_.colourCount))) return false;
    std::int32_t whole = -1;
    (void)walkRecords(in, layout_, image, [&](std::int32_t c, RecordHead head, std::span<const std::uint8_t> data) {
        if (head.isWhole()) {
            whole = c;
            return false;
        }
        records[static_cast<std::size_t>(c)] = {data.data(), static_cast<std::uint32_t>(data.size()), head.bitCount()};
        return true;
    });
    if (whole < 0) return false;
    const std::uint64_t pixels = layout_.pixelCount;
    // Its own work within an eighth of the record painter's limit and
    // 2^24 units, so that a texture that makes it decline part way costs
    // little more than the record painter would: a unit, a store into a
    // map that has outgrown the caches, costs about as much as a step.
    const DescendingBounds bounds{std::min({kDescendingWork * pixels, kDescendingMaxWork, budget / 8}), budget};
    HeapArray<std::uint8_t> scratch;
    const std::span<const RecordData> below = records.span().first(static_cast<std::size_t>(whole));
    switch (chooseWholeFirstPath(below, pixels, bounds.maxWork)) {
        case WholeFirstPath::descending:
            return paintDescending<Cell>(below, static_cast<Cell>(whole), pixels, cells, bounds, scratch);
        case WholeFirstPath::masks:
            return paintByMasks<Cell>(below, static_cast<Cell>(whole), pixels, cells, bounds, scratch);
        case WholeFirstPath::none: break;
    }
    return false;
}

// Paints the records of a compressed image into an index map of Cell (8 or
// 16 bits, as the palette needs), then stores it in one pass.
template <class Cell>
TextureProblem TextureDecoder::paintImage(ByteReader in, std::int64_t image, const PixelTarget& target,
                                          const DecodeOptions& limits) const {
    const std::uint64_t pixels = layout_.pixelCount;
    const std::uint64_t offset = in.offset();
    const std::uint64_t budget = limits.paintBudget(pixels);
    HeapArray<Cell> cells;
    if (!cells.allocate(pixels + kDescendingSlack)) return problemAt(Kind::outOfMemory, image, -1, 0);
    if (paintFromTheTop(in, image, cells.data(), budget)) {
        storeIndexMap(cells.data(), pixels, {}, target);
        return {};
    }
    BasicRecordPainter<Cell> painter;
    if (!painter.start(pixels, cells.data(), budget)) return problemAt(Kind::outOfMemory, image, -1, 0);
    // Records from index 0 up, until the picture is complete.
    (void)walkRecords(in, layout_, image, [&](std::int32_t c, RecordHead head, std::span<const std::uint8_t> data) {
        const Cell value = static_cast<Cell>(c);
        if (head.isWhole()) painter.paintAll(value);
        if (head.isGeneral()) painter.paintRecord(data, head.bitCount(), value);
        return !painter.complete() && !painter.overBudget();
    });
    if (painter.overBudget()) {
        // Said per pixel, as the limit is: for a picture whose steps the
        // limit per image bounds, the steps per pixel that it allows.
        const auto perPixel = [pixels](std::uint64_t steps, bool up) {
            const std::uint64_t n = steps / pixels + (up && steps % pixels != 0 ? 1 : 0);
            return static_cast<std::int64_t>(std::min<std::uint64_t>(n, INT64_MAX));
        };
        return problemAt(Kind::tooMuchWork, image, -1, offset, perPixel(painter.steps(), true), perPixel(budget, false));
    }
    const std::span<const std::uint64_t> painted =
        painter.complete() ? std::span<const std::uint64_t>() : painter.paintedWords();
    storeIndexMap(cells.data(), pixels, painted, target);
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
