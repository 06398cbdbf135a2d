// Encoding pictures into textures through the C API. The caller's pixels
// become pictures as the readers make them (red in bits 0..7), then pass the
// stages of qm5 encode: the palette, the mipmap level count and the texture
// writer, so the bytes are the command's for the same pictures and mode.
#include <algorithm>
#include <cinttypes>
#include <memory>

#include "capi/context.hpp"
#include "core/output_sink.hpp"
#include "maker/colour_table.hpp"
#include "maker/console.hpp"
#include "maker/mipmaps.hpp"
#include "maker/palette.hpp"
#include "maker/texture_writer.hpp"
#include "minimiser/palette_order.hpp"

using qm5::capi::fail;
using qm5::capi::kNowhere;

namespace {

// As qm5 encode's --jobs.
constexpr std::uint32_t kMaxThreads = 1024;
// The header stores the image count in 16 bits.
constexpr std::uint32_t kMaxImages = 65535;

qm5_status checkRequest(qm5_context* ctx, const qm5_images* images, const qm5_encode_options& options) {
    if (images == nullptr) return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no pictures");
    if (images->width < 1 || images->width > qm5::kMaxSide || images->height < 1 || images->height > qm5::kMaxSide) {
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere,
                    "a picture of %" PRId32 " x %" PRId32 " pixels; sides must be 1 to %d", images->width,
                    images->height, static_cast<int>(qm5::kMaxSide));
    }
    if (images->count < 1 || images->count > kMaxImages)
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "%" PRIu32 " images; a texture holds 1 to 65535", images->count);
    if ((images->rgba == nullptr) == (images->indices == nullptr))
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "give the pixels either as RGBA or as indices");
    if (images->indices != nullptr &&
        (images->palette == nullptr || images->palette_size < 1 || images->palette_size > 65536))
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "indices need a palette of 1 to 65536 colours");
    const int mode = qm5::capi::valueOf(options.mode);
    if (mode < QM5_MODE_PLAIN || mode > QM5_MODE_AUTO_BEST)
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "unknown mode %d", mode);
    if ((options.flags & ~QM5_IGNORE_ALPHA) != 0)
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "unknown flags 0x%" PRIx32, options.flags);
    const std::uint64_t pixels = static_cast<std::uint64_t>(images->width) * static_cast<std::uint64_t>(images->height);
    if (pixels > qm5::capi::bound(ctx->maxPixels)) {
        return fail(ctx, QM5_ERROR_LIMIT, kNowhere,
                    "%" PRIu64 " pixels per picture are above the pixel limit of %" PRIu64, pixels, ctx->maxPixels);
    }
    return QM5_OK;
}

// Colour value with alpha on top: red, green, blue in bits 0..23.
std::uint32_t packRgba(const std::uint8_t* rgba) {
    return std::uint32_t{rgba[0]} | std::uint32_t{rgba[1]} << 8 | std::uint32_t{rgba[2]} << 16 |
           std::uint32_t{rgba[3]} << 24;
}

qm5_status notOpaque(qm5_context* ctx, std::uint32_t image, std::uint64_t p, std::uint64_t offset, std::int32_t width,
                     std::uint32_t colour) {
    const auto w = static_cast<std::uint64_t>(width);
    return fail(ctx, QM5_ERROR_TRANSPARENT, {image, -1, static_cast<std::int64_t>(offset)},
                "pixel (%" PRIu64 ", %" PRIu64 ") of image %" PRIu32 " has alpha %" PRIu32
                "; encode with QM5_IGNORE_ALPHA to drop it",
                p % w, p / w, image, colour >> 24);
}

// Picture i from the caller's pixels; opaque unless ignoreAlpha.
qm5_status makePicture(qm5_context* ctx, const qm5_images& images, std::span<const std::uint32_t> palette,
                       std::uint32_t i, bool ignoreAlpha, qm5::Picture& picture) {
    const std::uint8_t* rgba = images.rgba != nullptr ? images.rgba[i] : nullptr;
    const std::uint16_t* indices = images.indices != nullptr ? images.indices[i] : nullptr;
    if (rgba == nullptr && indices == nullptr)
        return fail(ctx, QM5_ERROR_ARGUMENT, {i, -1, -1}, "the pixels of image %" PRIu32 " are missing", i);
    if (!picture.allocate(images.width, images.height)) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    for (std::size_t p = 0; p < picture.pixels.size(); ++p) {
        std::uint32_t colour = 0;
        if (rgba != nullptr) {
            colour = packRgba(rgba + 4 * p);
        } else if (indices[p] < palette.size()) {
            colour = palette[indices[p]];
        } else {
            const auto w = static_cast<std::size_t>(images.width);
            return fail(ctx, QM5_ERROR_ARGUMENT, {i, -1, static_cast<std::int64_t>(2 * p)},
                        "pixel (%zu, %zu) of image %" PRIu32 " has index %u, past the palette of %zu colours", p % w,
                        p / w, i, static_cast<unsigned>(indices[p]), palette.size());
        }
        if (!ignoreAlpha && (colour >> 24) != 0xFF)
            return notOpaque(ctx, i, p, (rgba != nullptr ? 4 : 2) * p, images.width, colour);
        picture.pixels[p] = colour & 0xFFFFFFu;
    }
    return QM5_OK;
}

qm5::TextureWriteOptions writeOptions(const qm5_context* ctx, const qm5_encode_options& options) {
    qm5::TextureWriteOptions out;
    out.compress = options.mode == QM5_MODE_COMPRESSED || options.mode == QM5_MODE_BEST;
    out.smallest = options.mode == QM5_MODE_AUTO || options.mode == QM5_MODE_AUTO_BEST;
    out.engine = options.mode == QM5_MODE_BEST || options.mode == QM5_MODE_AUTO_BEST ? qm5::MinimiserEngine::best
                                                                                     : qm5::MinimiserEngine::fast;
    // The best modes choose the palette order as qm5 encode --best does by default.
    if (out.engine == qm5::MinimiserEngine::best) out.orderEffort = qm5::kDefaultOrderEffort;
    out.threads = std::min(options.threads, kMaxThreads);
    out.memoryLimit = qm5::capi::bound(ctx->maxMemory);
    return out;
}

qm5_status writeFailure(qm5_context* ctx, qm5::WriteResult result, const qm5::WriteOutcome& outcome, const char* path) {
    switch (result) {
        case qm5::WriteResult::written: return QM5_OK;
        case qm5::WriteResult::headerOutOfRange:
            return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "a header field cannot hold the images (value %lld)",
                        static_cast<long long>(outcome.header.value));
        case qm5::WriteResult::cannotOpen: return fail(ctx, QM5_ERROR_IO, kNowhere, "cannot be created");
        case qm5::WriteResult::outOfMemory:
            if (!outcome.tooLarge) break;
            return fail(
                ctx, QM5_ERROR_LIMIT, kNowhere,
                "the pictures cannot be compressed within the memory limit; encode them plain or with QM5_MODE_AUTO");
        case qm5::WriteResult::recordTooLong:
            return fail(ctx, QM5_ERROR_RECORD_TOO_LONG, {outcome.failedImage, outcome.failedColour, -1},
                        "colour %" PRIu32 " of image %" PRIu32
                        " would need a record of more than 65535 bytes; encode plain or with QM5_MODE_AUTO",
                        outcome.failedColour, outcome.failedImage);
        case qm5::WriteResult::writeFailed:
            if (path == nullptr) break;
            return fail(ctx, QM5_ERROR_IO, kNowhere, "cannot be written completely");
    }
    return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
}

// The whole encoding, into the file path or, when path is null, into sink.
qm5_status encode(qm5_context* ctx, const qm5_images* images, const qm5_encode_options* given, const char* path,
                  qm5::OutputSink* sink) {
    const qm5_encode_options options = given != nullptr ? *given : qm5_encode_options{};
    if (const qm5_status s = checkRequest(ctx, images, options); s != QM5_OK) return s;
    qm5::HeapArray<std::uint32_t> palette;
    if (images->indices != nullptr) {
        if (!palette.allocate(images->palette_size)) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
        for (std::size_t k = 0; k < palette.size(); ++k) palette[k] = packRgba(images->palette + 4 * k);
    }
    const std::size_t count = images->count;
    std::unique_ptr<qm5::Picture[]> pictures(new (std::nothrow) qm5::Picture[count]);
    std::unique_ptr<const qm5::Picture*[]> refs(new (std::nothrow) const qm5::Picture*[count]);
    if (!pictures || !refs) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    const bool ignoreAlpha = (options.flags & QM5_IGNORE_ALPHA) != 0;
    for (std::uint32_t i = 0; i < images->count; ++i) {
        if (const qm5_status s = makePicture(ctx, *images, palette.span(), i, ignoreAlpha, pictures[i]); s != QM5_OK)
            return s;
        refs[i] = &pictures[i];
    }

    qm5::Console console(nullptr, nullptr);  // the stages' lines go nowhere
    qm5::ColourTable colours;
    switch (qm5::buildPalette(console, {pictures.get(), count}, colours)) {
        case qm5::PaletteResult::done: break;
        case qm5::PaletteResult::tooManyColours:
            return fail(ctx, QM5_ERROR_TOO_MANY_COLOURS, kNowhere, "the pictures hold more than %d colours",
                        static_cast<int>(qm5::kMaxPaletteColours));
        default: return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    }
    const std::int32_t levels = qm5::mipmapLevelCount(images->width, images->height);
    const qm5::TextureWriteOptions write = writeOptions(ctx, options);
    qm5::WriteOutcome outcome;
    const std::span<const qm5::Picture* const> all(refs.get(), count);
    const qm5::WriteResult result =
        sink != nullptr ? qm5::writeTexture(console, *sink, all, colours.colours(), levels, write, &outcome)
                        : qm5::writeTexture(console, path, all, colours.colours(), levels, write, &outcome);
    return writeFailure(ctx, result, outcome, path);
}

}  // namespace

extern "C" {

qm5_status qm5_encode(qm5_context* ctx, const qm5_images* images, const qm5_encode_options* options, void** out_data,
                      size_t* out_size) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    if (out_data == nullptr || out_size == nullptr)
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no place for the texture");
    *out_data = nullptr;
    *out_size = 0;
    return qm5::capi::guarded(ctx, [&] {
        qm5::MemoryOutput memory;
        if (const qm5_status s = encode(ctx, images, options, nullptr, &memory); s != QM5_OK) return s;
        *out_data = memory.release(*out_size);
        return qm5::capi::succeed(ctx);
    });
}

qm5_status qm5_encode_file(qm5_context* ctx, const qm5_images* images, const qm5_encode_options* options,
                           const char* path) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    if (path == nullptr || *path == '\0') return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no file name");
    return qm5::capi::guarded(ctx, [&] {
        if (const qm5_status s = encode(ctx, images, options, path, nullptr); s != QM5_OK) return s;
        return qm5::capi::succeed(ctx);
    });
}

void qm5_free(void* data) { std::free(data); }

}  // extern "C"
