#include "formats/png_codec.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#if QM5_HAVE_PNG
#include <spng.h>
#endif

namespace qm5 {

bool isPngSignature(std::span<const std::uint8_t> head) {
    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return head.size() >= 8 && std::equal(std::begin(kSignature), std::end(kSignature), head.begin());
}

namespace {

constexpr std::uint64_t kPngSignatureSize = 8;
constexpr std::uint64_t kChunkHeadSize = 8;  // length and type
constexpr std::uint64_t kChunkCrcSize = 4;
constexpr std::uint32_t kIhdrLength = 13;
constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFF;
// Bytes past a chunk that the library may read before it judges the chunk
// (the next chunk's head, with a CRC it checks late): given with IEND and
// with a chunk it refuses, so that it judges as it would with the whole file.
constexpr std::uint64_t kJudged = 4096;
// Chunks may hold the image data coded at worst about as large as they are
// raw (stored deflate blocks; the filter bytes counted), in as many IDAT
// chunks as a coder likes, and beside them text, profiles and other
// metadata: twice the raw size and 64 MiB, which no picture's file passes.
constexpr std::uint64_t kDataAllowance = 2;
constexpr std::uint64_t kMetadataAllowance = std::uint64_t{64} << 20;

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// A critical chunk that no reader knows is refused from its head (an
// ancillary one, whatever its type's bytes, is skipped).
bool isUnknownCritical(const std::uint8_t* type) {
    if ((type[0] & 0x20) != 0) return false;
    for (const char* known : {"IHDR", "PLTE", "IDAT", "IEND"}) {
        if (std::memcmp(type, known, 4) == 0) return false;
    }
    return true;
}

// Bytes of the filtered image data of an IHDR's picture (not interlaced),
// each row with its filter byte; the sample bits are taken as the largest a
// colour type has (16 x 4) when the fields are not a valid pair.
std::uint64_t rawImageBytes(std::uint32_t width, std::uint32_t height, std::uint8_t depth, std::uint8_t colourType) {
    const unsigned channels = colourType == 2 ? 3 : colourType == 6 ? 4 : colourType == 4 ? 2 : 1;
    const unsigned bits = depth <= 16 ? depth : 64;
    return std::uint64_t{height} * (1 + (std::uint64_t{width} * channels * bits + 7) / 8);
}

void finishPng(PictureExtent& extent, PictureEnd kind, std::uint64_t end) {
    extent.done = true;
    extent.need = 0;
    extent.kind = kind;
    extent.end = end;
}

}  // namespace

void measurePng(std::span<const std::uint8_t> file, PictureExtent& extent) {
    if (extent.walked == 0) {
        extent.walked = kPngSignatureSize;
        // Until IHDR is read, the first chunk is all there is to ask for.
        extent.end = kPngSignatureSize + kChunkHeadSize + kIhdrLength + kChunkCrcSize;
    }
    for (;;) {
        const std::uint64_t at = extent.walked;
        if (file.size() < at + kChunkHeadSize) {
            extent.need = at + kChunkHeadSize;
            return;
        }
        const std::uint8_t* head = file.data() + at;
        const std::uint32_t length = bigEndian32(head);
        const bool first = at == kPngSignatureSize;
        // A length no chunk has, or a first chunk that is no IHDR of 13
        // bytes, ends the walk: the library refuses it within a few bytes.
        if (length > kMaxChunkLength ||
            (first && (std::memcmp(head + 4, "IHDR", 4) != 0 || length != kIhdrLength))) {
            return finishPng(extent, PictureEnd::exact, at + kJudged);
        }
        const std::uint64_t chunkEnd = at + kChunkHeadSize + length + kChunkCrcSize;
        // So does a critical chunk it does not know (an ancillary one, whatever
        // its type's bytes, it skips), within its bound.
        if (isUnknownCritical(head + 4)) {
            return chunkEnd + kJudged <= extent.end ? finishPng(extent, PictureEnd::exact, chunkEnd + kJudged)
                                                    : finishPng(extent, PictureEnd::bound, extent.end);
        }
        if (first) {
            if (file.size() < chunkEnd) {
                extent.need = chunkEnd;
                return;
            }
            const std::uint32_t width = bigEndian32(head + 8);
            const std::uint32_t height = bigEndian32(head + 12);
            if (width == 0 || height == 0 || width > static_cast<std::uint32_t>(kMaxSide) ||
                height > static_cast<std::uint32_t>(kMaxSide)) {
                return finishPng(extent, PictureEnd::exact, chunkEnd + kJudged);
            }
            extent.sized = true;
            extent.width = static_cast<std::int32_t>(width);
            extent.height = static_cast<std::int32_t>(height);
            extent.end = chunkEnd + kMetadataAllowance + kDataAllowance * rawImageBytes(width, height, head[16], head[17]);
        }
        // A file that goes on past its allowance is cut there.
        if (chunkEnd > extent.end) return finishPng(extent, PictureEnd::bound, extent.end);
        if (std::memcmp(head + 4, "IEND", 4) == 0) return finishPng(extent, PictureEnd::exact, chunkEnd + kJudged);
        extent.walked = chunkEnd;
    }
}

#if !QM5_HAVE_PNG

bool pngSupported() { return false; }

PictureError loadPng(std::span<const std::uint8_t>, Picture& out, const ReadOptions&, PictureDetail* detail) {
    out = Picture{};
    if (detail != nullptr) detail->set("PNG (this qm5 was built without libspng)");
    return PictureError::unsupported;
}

bool encodePng(const Picture&, std::span<const std::uint32_t>, HeapArray<std::uint8_t>& out) {
    out.reset();
    return false;
}

#else

namespace {

// Deflate's densest code is a 258-byte match in 2 bits, so no stream of n
// bytes inflates to more than 1032 n: a bound every valid file meets.
constexpr std::uint64_t kDeflateMaxRatio = 1032;
constexpr std::uint64_t kSlackBytes = 4096;

struct ContextFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Context = std::unique_ptr<spng_ctx, ContextFree>;

PictureError failure(int error, PictureDetail* detail) {
    switch (error) {
        case SPNG_EUSER_WIDTH:
        case SPNG_EUSER_HEIGHT: return PictureError::tooLarge;
        case SPNG_EMEM: return PictureError::outOfMemory;
        case SPNG_IO_EOF:
        case SPNG_EIDAT_TOO_SHORT: return PictureError::truncated;
        default: break;
    }
    if (detail != nullptr) detail->print("invalid PNG: %s", spng_strerror(error));
    return PictureError::malformed;
}

// Bytes of the filtered image data the IDAT stream must inflate to, at
// least (the rows of a non-interlaced picture, each with its filter byte).
std::uint64_t imageDataBytes(const spng_ihdr& h) {
    const unsigned channels = h.color_type == SPNG_COLOR_TYPE_TRUECOLOR ? 3
                              : h.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ? 4
                              : h.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ? 2 : 1;
    const std::uint64_t rowBits = std::uint64_t{h.width} * channels * h.bit_depth;
    return std::uint64_t{h.height} * (1 + (rowBits + 7) / 8);
}

}  // namespace

bool pngSupported() { return true; }

PictureError loadPng(std::span<const std::uint8_t> file, Picture& out, const ReadOptions& options,
                     PictureDetail* detail) {
    out = Picture{};
    if (!isPngSignature(file)) return PictureError::notPicture;
    Context ctx(spng_ctx_new(0));
    if (!ctx) return PictureError::outOfMemory;
    // No chunk is longer than the file; text and other kept chunks stay
    // within a few times its size.
    spng_set_image_limits(ctx.get(), kMaxSide, kMaxSide);
    spng_set_chunk_limits(ctx.get(), file.size(), 4 * file.size() + (1u << 20));
    // A critical chunk with a wrong CRC is refused; an ancillary one is
    // dropped, as libpng does by default.
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    if (int e = spng_set_png_buffer(ctx.get(), file.data(), file.size()); e != 0) return failure(e, detail);
    spng_ihdr ihdr{};
    if (int e = spng_get_ihdr(ctx.get(), &ihdr); e != 0) return failure(e, detail);
    if (imageDataBytes(ihdr) > kDeflateMaxRatio * file.size() + kSlackBytes) return PictureError::truncated;

    Picture picture;
    if (!picture.allocate(static_cast<std::int32_t>(ihdr.width), static_cast<std::int32_t>(ihdr.height))) {
        return PictureError::outOfMemory;
    }
    const std::size_t count = picture.pixels.size();
    bool opaque = true;
    if (ihdr.bit_depth == 16) {
        HeapArray<std::uint16_t> wide;
        if (!wide.allocate(std::uint64_t{count} * 4)) return PictureError::outOfMemory;
        const int e = spng_decode_image(ctx.get(), wide.data(), wide.size() * 2, SPNG_FMT_RGBA16, SPNG_DECODE_TRNS);
        if (e != 0) return failure(e, detail);
        // Rounded to the nearest 8-bit value: 0x1234 gives 0x12, 0x1290 gives 0x13.
        const auto narrow = [](std::uint32_t v) { return (v + 128) / 257; };
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t* p = wide.data() + 4 * i;
            picture.pixels[i] = packRgb(narrow(p[0]), narrow(p[1]), narrow(p[2]));
            opaque = opaque && p[3] == 0xFFFF;
        }
    } else {
        // RGBA bytes straight into the pixel array, then packed in place.
        const int e = spng_decode_image(ctx.get(), picture.pixels.data(), count * 4, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS);
        if (e != 0) return failure(e, detail);
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t p[4];
            std::memcpy(p, &picture.pixels[i], 4);
            picture.pixels[i] = packRgb(p[0], p[1], p[2]);
            opaque = opaque && p[3] == 0xFF;
        }
    }
    // The rest of the file up to IEND: the CRC of the last IDAT and of
    // IEND is checked only there.
    if (const int e = spng_decode_chunks(ctx.get()); e != 0) return failure(e, detail);
    if (!opaque && !options.ignoreAlpha) return PictureError::transparent;
    out = std::move(picture);
    return PictureError::none;
}

bool encodePng(const Picture& picture, std::span<const std::uint32_t> palette, HeapArray<std::uint8_t>& out) {
    out.reset();
    if (picture.width <= 0 || picture.height <= 0 || palette.size() > 256) return false;
    const std::size_t count = picture.pixels.size();
    HeapArray<std::uint8_t> image;
    // Colour to index through a sorted copy of the palette (the first index
    // of a colour listed twice); a colour not in it makes the picture RGB.
    const auto toIndices = [&] {
        std::vector<std::pair<std::uint32_t, std::uint8_t>> order;
        for (std::size_t k = 0; k < palette.size(); ++k) order.emplace_back(palette[k], static_cast<std::uint8_t>(k));
        const auto byColour = [](const auto& a, const auto& b) { return a.first < b.first; };
        std::stable_sort(order.begin(), order.end(), byColour);
        if (order.empty() || !image.allocate(count)) return false;
        for (std::size_t i = 0; i < count; ++i) {
            const auto it = std::lower_bound(order.begin(), order.end(), std::make_pair(picture.pixels[i], std::uint8_t{0}),
                                             byColour);
            if (it == order.end() || it->first != picture.pixels[i]) return false;
            image[i] = it->second;
        }
        return true;
    };
    const bool indexed = toIndices();
    if (!indexed) {
        if (!image.allocate(std::uint64_t{count} * 3)) return false;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t v = picture.pixels[i];
            image[3 * i] = static_cast<std::uint8_t>(v);
            image[3 * i + 1] = static_cast<std::uint8_t>(v >> 8);
            image[3 * i + 2] = static_cast<std::uint8_t>(v >> 16);
        }
    }
    Context ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) return false;
    spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<std::uint32_t>(picture.width);
    ihdr.height = static_cast<std::uint32_t>(picture.height);
    ihdr.bit_depth = 8;
    ihdr.color_type = indexed ? SPNG_COLOR_TYPE_INDEXED : SPNG_COLOR_TYPE_TRUECOLOR;
    if (spng_set_ihdr(ctx.get(), &ihdr) != 0) return false;
    if (indexed) {
        spng_plte plte{};
        plte.n_entries = static_cast<std::uint32_t>(palette.size());
        for (std::size_t k = 0; k < palette.size(); ++k) {
            plte.entries[k].red = static_cast<std::uint8_t>(palette[k]);
            plte.entries[k].green = static_cast<std::uint8_t>(palette[k] >> 8);
            plte.entries[k].blue = static_cast<std::uint8_t>(palette[k] >> 16);
        }
        if (spng_set_plte(ctx.get(), &plte) != 0) return false;
    }
    if (spng_encode_image(ctx.get(), image.data(), image.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) != 0) return false;
    std::size_t length = 0;
    int error = 0;
    std::unique_ptr<void, decltype(&std::free)> png(spng_get_png_buffer(ctx.get(), &length, &error), &std::free);
    if (!png || error != 0 || !out.allocate(length)) return false;
    std::memcpy(out.data(), png.get(), length);
    return true;
}

#endif

}  // namespace qm5
