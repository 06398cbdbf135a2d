#include "texture/texture_decoder.hpp"

#include "core/byte_reader.hpp"
#include "core/file_io.hpp"

namespace qm5 {

const char* describe(TextureError error) {
    switch (error) {
        case TextureError::none: return "no error";
        case TextureError::cannotOpen: return "cannot be opened";
        case TextureError::notTexture: return "not a texture of version 100";
        case TextureError::truncated: return "the file ends before the data its header announces";
        case TextureError::malformed: return "the texture is malformed";
        case TextureError::tooLarge: return "the picture is too large";
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

// Paints colour into every position below pixelCount that the cube covers,
// walking the cube's free bits instead of testing every position. The
// subsets come in ascending order and base shares no bit with them, so the
// positions ascend: the walk ends at the first one past the picture. The
// work is so bounded by the pixels painted, also for a record whose b is
// larger than the picture needs.
void paintCube(CubeMasks cube, int b, std::uint32_t colour, std::uint32_t* pixels, std::uint64_t pixelCount) {
    const std::uint64_t domain = std::uint64_t{1} << b;
    const std::uint64_t free = (domain - 1) & ~std::uint64_t{cube.zero | cube.one};
    const std::uint64_t base = cube.one & ~cube.zero;
    if ((cube.one & cube.zero) != 0) return;  // a bit in both masks: the cube covers nothing
    std::uint64_t sub = 0;
    do {
        const std::uint64_t p = base | sub;
        if (p >= pixelCount) break;
        pixels[p] = colour;
        sub = (sub - free) & free;  // next subset of the free bits
    } while (sub != 0);
}

// Skips (paint == false) or paints one compressed image, reader at its first record.
TextureError walkCompressedImage(ByteReader& in, std::span<const std::uint32_t> palette, Picture* picture,
                                 std::int64_t image, const Fail& fail) {
    const std::size_t colourCount = palette.size();
    // The records are painted from the last index down; read the heads and
    // data spans first (records are views into the file, nothing is copied).
    HeapArray<std::uint64_t> starts;  // offset of each record's head
    if (picture != nullptr && !starts.allocate(colourCount)) return TextureError::outOfMemory;
    for (std::size_t c = 0; c < colourCount; ++c) {
        const std::uint64_t at = in.offset();
        auto headBytes = in.readSpan(kRecordHeadSize);
        if (!headBytes) return fail(TextureError::truncated, image, static_cast<std::int64_t>(c), at);
        const RecordHead head = RecordHead::from(*headBytes);
        if (head.isGeneral()) {
            const int b = head.bitCount();
            if (b == 0 || b > kMaxPositionBits) return fail(TextureError::malformed, image, static_cast<std::int64_t>(c), at);
            if (!in.skip(head.dataLength())) return fail(TextureError::truncated, image, static_cast<std::int64_t>(c), at);
        }
        if (picture != nullptr) starts[c] = at;
    }
    if (picture == nullptr) return TextureError::none;

    const std::uint64_t pixelCount = picture->pixels.size();
    ByteReader records = in;
    for (std::size_t i = colourCount; i-- > 0;) {
        records.seek(starts[i]);
        auto headBytes = records.readSpan(kRecordHeadSize);
        const RecordHead head = RecordHead::from(*headBytes);
        const std::uint32_t colour = palette[i];
        if (head.isEmpty()) continue;
        if (head.isWhole()) {
            for (std::uint64_t p = 0; p < pixelCount; ++p) picture->pixels[p] = colour;
            continue;
        }
        const int b = head.bitCount();
        auto data = *records.readSpan(head.dataLength());
        const std::uint64_t n = cubeCountOf(data.size(), b);
        for (std::uint64_t k = 0; k < n; ++k) {
            const CubeMasks cube = readCube(data, b, k);
            // Zero bits that pad the last byte read as cubes without fixed
            // digits when b <= 3; the writer never writes such a cube.
            if (cube.zero == 0 && cube.one == 0) continue;
            paintCube(cube, b, colour, picture->pixels.data(), pixelCount);
        }
    }
    return TextureError::none;
}

// Paints a plain image, reader at its first index; the caller has checked
// that all its indices are in the file.
TextureError paintPlainImage(ByteReader& in, const TextureLayout& layout, std::span<const std::uint32_t> palette,
                             Picture& picture, std::int64_t image, const Fail& fail) {
    const std::uint64_t start = in.offset();
    const std::uint64_t indexBytes = layout.indexBytes();
    const auto indices = *in.readSpan(layout.plainImageBytes());
    for (std::uint64_t p = 0; p < layout.pixelCount; ++p) {
        // Unsigned bytes, signed 16-bit values: the classic reader's view.
        const std::int32_t index =
            indexBytes == 1 ? indices[p] : static_cast<std::int16_t>(indices[2 * p] | (indices[2 * p + 1] << 8));
        if (index < 0 || index >= layout.colourCount)
            return fail(TextureError::malformed, image, -1, start + p * indexBytes);
        picture.pixels[p] = palette[static_cast<std::size_t>(index)];
    }
    return TextureError::none;
}

}  // namespace

TextureError decodeTextureImage(std::span<const std::uint8_t> file, std::int64_t imageIndex, Picture& out,
                                const DecodeOptions& options, TextureFault* fault) {
    out = Picture{};
    const Fail fail{fault};
    const LayoutCheck check = checkTextureLayout(file);
    switch (check.error()) {
        case LayoutError::headerCut: return fail(TextureError::truncated, -1, -1, 0);
        case LayoutError::badMagic:
        case LayoutError::badVersion: return fail(TextureError::notTexture, -1, -1, 0);
        case LayoutError::negativeField: return fail(TextureError::malformed, -1, -1, check.firstFault().offset);
        case LayoutError::none:
        case LayoutError::paletteCut: break;
    }
    if (imageIndex < 0) return TextureError::malformed;
    const TextureLayout& layout = check.layout;
    // The caller's limit comes before the palette: a huge picture is refused
    // as such even when its file is cut short too.
    if (layout.pixelCount > options.maxPixels) return fail(TextureError::tooLarge, -1, -1, kWidthOffset);
    if (check.error() == LayoutError::paletteCut) return fail(TextureError::truncated, -1, -1, layout.paletteOffset);

    HeapArray<std::uint32_t> palette;
    if (!palette.allocate(static_cast<std::uint64_t>(layout.colourCount))) return TextureError::outOfMemory;
    for (std::size_t k = 0; k < palette.size(); ++k)
        palette[k] = options.indices ? static_cast<std::uint32_t>(k) : layout.colour(k);

    ByteReader in(file);
    in.seek(layout.imagesOffset);
    const bool compressed = layout.compressed();
    const std::uint64_t plainImageBytes = layout.plainImageBytes();
    // Skip the images before the one asked for.
    for (std::int64_t image = 0; image < imageIndex; ++image) {
        if (compressed) {
            TextureError e = walkCompressedImage(in, palette.span(), nullptr, image, fail);
            if (e != TextureError::none) return e;
        } else if (!in.skip(plainImageBytes)) {
            return fail(TextureError::truncated, image, -1, in.offset());
        }
    }

    // Every image needs at least 3 bytes per record or its plain indices:
    // refuse a file too short for that before allocating the picture.
    const std::uint64_t minimumImageBytes =
        compressed ? palette.size() * kRecordHeadSize : plainImageBytes;
    if (in.remaining() < minimumImageBytes) return fail(TextureError::truncated, imageIndex, -1, in.offset());

    Picture picture;
    if (!picture.allocate(layout.width, layout.height)) return TextureError::outOfMemory;
    const TextureError e = compressed ? walkCompressedImage(in, palette.span(), &picture, imageIndex, fail)
                                      : paintPlainImage(in, layout, palette.span(), picture, imageIndex, fail);
    if (e != TextureError::none) return e;
    out = std::move(picture);
    return TextureError::none;
}

TextureError decodeTexture(const char* name, Picture& out, const DecodeOptions& options) {
    out = Picture{};
    HeapArray<std::uint8_t> bytes;
    switch (readWholeFile(name, bytes)) {
        case ReadFileError::none: break;
        case ReadFileError::outOfMemory: return TextureError::outOfMemory;
        default: return TextureError::cannotOpen;
    }
    return decodeTextureImage(bytes.span(), 0, out, options);
}

}  // namespace qm5
