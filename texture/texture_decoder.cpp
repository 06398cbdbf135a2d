#include "texture/texture_decoder.hpp"

#include <algorithm>
#include <bit>

#include "core/byte_reader.hpp"
#include "texture/record_painter.hpp"

namespace qm5 {

const char* describe(TextureError error) {
    switch (error) {
        case TextureError::none: return "no error";
        case TextureError::cannotOpen: return "cannot be opened";
        case TextureError::notTexture: return "not a texture of version 100";
        case TextureError::truncated: return "the file ends before the data its header announces";
        case TextureError::malformed: return "the texture is malformed";
        case TextureError::tooLarge: return "the picture is too large";
        case TextureError::tooMuchWork: return "painting the picture takes more work than allowed";
        case TextureError::outOfMemory: return "not enough memory";
    }
    return "unknown error";
}

namespace {

struct Fail {
    TextureFault* fault;
    TextureError operator()(TextureError e, std::int64_t image, std::int64_t record, std::uint64_t offset) const {
        if (fault != nullptr) *fault = {image, record, offset};
        return e;
    }
};

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
TextureError walkCompressedImage(ByteReader& in, const TextureLayout& layout, std::span<const std::uint32_t> palette,
                                 std::int64_t image, std::uint64_t* work, RecordPainter* painter, const Fail& fail) {
    const std::uint64_t pixels = layout.pixelCount;
    for (std::int32_t c = 0; c < layout.colourCount; ++c) {
        const std::uint64_t at = in.offset();
        auto headBytes = in.readSpan(kRecordHeadSize);
        if (!headBytes) return fail(TextureError::truncated, image, c, at);
        const RecordHead head = RecordHead::from(*headBytes);
        const std::uint32_t colour = palette.empty() ? 0 : palette[static_cast<std::size_t>(c)];
        if (head.isWhole()) {
            if (work != nullptr) *work = saturatingAdd(*work, paintSteps({}, layout.positionBits, pixels));
            if (painter != nullptr) painter->paintAll(colour);
        }
        if (!head.isGeneral()) continue;
        const int b = head.bitCount();
        if (b == 0 || b > kMaxPositionBits) return fail(TextureError::malformed, image, c, at);
        auto data = in.readSpan(head.dataLength());
        if (!data) return fail(TextureError::truncated, image, c, at);
        if (work != nullptr) forEachCube(*data, b, [&](CubeMasks cube) { *work = saturatingAdd(*work, paintSteps(cube, b, pixels)); });
        if (painter != nullptr) forEachCube(*data, b, [&](CubeMasks cube) { painter->paint(cube, b, colour); });
    }
    return TextureError::none;
}

// Checks the indices of one plain image, reader at its first index.
TextureError checkPlainImage(ByteReader& in, const TextureLayout& layout, std::int64_t image, const Fail& fail) {
    const std::uint64_t start = in.offset();
    const auto indices = in.readSpan(layout.plainImageBytes());
    if (!indices) return fail(TextureError::truncated, image, -1, start);
    if (layout.indexBytes() == 1) {
        if (layout.colourCount >= 256) return TextureError::none;
        for (std::uint64_t p = 0; p < layout.pixelCount; ++p) {
            if ((*indices)[p] >= layout.colourCount) return fail(TextureError::malformed, image, -1, start + p);
        }
        return TextureError::none;
    }
    // Signed 16-bit values: the classic reader's view.
    for (std::uint64_t p = 0; p < layout.pixelCount; ++p) {
        const std::int32_t index = static_cast<std::int16_t>((*indices)[2 * p] | ((*indices)[2 * p + 1] << 8));
        if (index < 0 || index >= layout.colourCount) return fail(TextureError::malformed, image, -1, start + 2 * p);
    }
    return TextureError::none;
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

TextureError TextureDecoder::check(std::span<const std::uint8_t> file, std::int64_t first, std::int64_t end,
                                   const DecodeOptions& options, TextureFault* fault) {
    file_ = file;
    first_ = first;
    offsets_.reset();
    work_.reset();
    palette_.reset();
    const Fail fail{fault};
    const LayoutCheck check = checkTextureLayout(file);
    layout_ = check.layout;
    switch (check.error()) {
        case LayoutError::headerCut: return fail(TextureError::truncated, -1, -1, 0);
        case LayoutError::badMagic:
        case LayoutError::badVersion: return fail(TextureError::notTexture, -1, -1, 0);
        case LayoutError::negativeField:
        case LayoutError::emptyField: return fail(TextureError::malformed, -1, -1, check.firstFault().offset);
        case LayoutError::none:
        case LayoutError::paletteCut: break;
    }
    if (first < 0 || end <= first) return TextureError::malformed;
    // The caller's limit comes before the palette: a huge picture is refused
    // as such even when its file is cut short too.
    if (layout_.pixelCount > options.maxPixels) return fail(TextureError::tooLarge, -1, -1, kWidthOffset);
    if (check.error() == LayoutError::paletteCut) return fail(TextureError::truncated, -1, -1, layout_.paletteOffset);

    if (!palette_.allocate(static_cast<std::uint64_t>(layout_.colourCount))) return TextureError::outOfMemory;
    for (std::size_t k = 0; k < palette_.size(); ++k) {
        palette_[k] = options.indices ? static_cast<std::uint32_t>(k) : layout_.colour(k);
    }
    const std::uint64_t checked = static_cast<std::uint64_t>(end - first);
    if (!offsets_.allocate(checked) || !work_.allocate(checked)) return TextureError::outOfMemory;
    return checkImages(end, options, fault);
}

TextureError TextureDecoder::checkImages(std::int64_t end, const DecodeOptions& options, TextureFault* fault) {
    const Fail fail{fault};
    ByteReader in(file_);
    in.seek(layout_.imagesOffset);
    const bool compressed = layout_.compressed();
    const bool counted = options.maxPaintWork != kNoLimit;
    const std::uint64_t pixels = layout_.pixelCount;
    // The images before the first asked for are only found, not judged.
    for (std::int64_t image = 0; image < end; ++image) {
        const bool judged = image >= first_;
        const std::size_t slot = static_cast<std::size_t>(judged ? image - first_ : 0);
        if (judged) offsets_[slot] = in.offset();
        std::uint64_t work = 0;
        TextureError e = TextureError::none;
        if (compressed) {
            e = walkCompressedImage(in, layout_, {}, image, judged && counted ? &work : nullptr, nullptr, fail);
        } else if (judged) {
            e = checkPlainImage(in, layout_, image, fail);
        } else if (!in.skip(layout_.plainImageBytes())) {
            e = fail(TextureError::truncated, image, -1, in.offset());
        }
        if (e != TextureError::none) return e;
        if (!judged) continue;
        work_[slot] = work;
        // work / P against the limit, rounded up, without overflow.
        if (work / pixels + (work % pixels != 0 ? 1 : 0) > options.maxPaintWork) {
            return fail(TextureError::tooMuchWork, image, -1, offsets_[slot]);
        }
    }
    return TextureError::none;
}

std::uint64_t TextureDecoder::paintWork(std::int64_t image) const {
    const std::int64_t slot = image - first_;
    return slot >= 0 && static_cast<std::uint64_t>(slot) < work_.size() ? work_[static_cast<std::size_t>(slot)] : 0;
}

TextureError TextureDecoder::decode(std::int64_t image, Picture& out) const {
    out = Picture{};
    const std::int64_t slot = image - first_;
    if (slot < 0 || static_cast<std::uint64_t>(slot) >= offsets_.size()) return TextureError::malformed;
    Picture picture;
    if (!picture.allocate(layout_.width, layout_.height)) return TextureError::outOfMemory;
    ByteReader in(file_);
    in.seek(offsets_[static_cast<std::size_t>(slot)]);
    if (layout_.compressed()) {
        RecordPainter painter;
        if (!painter.start(layout_.pixelCount, picture.pixels.data())) return TextureError::outOfMemory;
        (void)walkCompressedImage(in, layout_, palette_.span(), image, nullptr, &painter, Fail{nullptr});
    } else {
        paintPlainImage(in, layout_, palette_.span(), picture);
    }
    out = std::move(picture);
    return TextureError::none;
}

TextureError decodeTextureImage(std::span<const std::uint8_t> file, std::int64_t imageIndex, Picture& out,
                                const DecodeOptions& options, TextureFault* fault) {
    out = Picture{};
    if (imageIndex < 0 || imageIndex == INT64_MAX) return TextureError::malformed;
    TextureDecoder decoder;
    const TextureError e = decoder.check(file, imageIndex, imageIndex + 1, options, fault);
    if (e != TextureError::none) return e;
    return decoder.decode(imageIndex, out);
}

}  // namespace qm5
