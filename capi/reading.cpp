// Opening, inspecting and decoding textures through the C API. A texture
// keeps its own copy of the file; opening checks the header, the palette and
// that every image lies inside the file (the inspection behind qm5 info), so
// that what opens can be described and every image found.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "capi/context.hpp"
#include "core/file_io.hpp"
#include "texture/texture_decoder.hpp"
#include "texture/texture_info.hpp"

using qm5::capi::fail;
using qm5::capi::kNowhere;

struct qm5_texture {
    qm5_context* ctx = nullptr;
    qm5::HeapArray<std::uint8_t> bytes;
    qm5_info info = {};
    qm5::HeapArray<qm5_image_info> images;
    qm5::HeapArray<std::uint32_t> palette;  // as stored: red in bits 0..7
};

namespace {

using qm5::TextureProblem;
using qm5::TextureProblemKind;

// The status of a problem that stops decoding, or QM5_OK for one a decoder
// reads past (sizes of 0, cubes the writer would not write, trailing bytes).
qm5_status fatalStatus(const TextureProblem& p) {
    switch (p.kind) {
        case TextureProblemKind::truncatedHeader:
        case TextureProblemKind::paletteTruncated:
        case TextureProblemKind::imageTruncated:
        case TextureProblemKind::recordTruncated: return QM5_ERROR_TRUNCATED;
        case TextureProblemKind::badMagic:
        case TextureProblemKind::badVersion: return QM5_ERROR_NOT_TEXTURE;
        case TextureProblemKind::negativeField:
        case TextureProblemKind::indexOutOfRange: return QM5_ERROR_MALFORMED;
        // The decoder unpacks any b from 1 to 30.
        case TextureProblemKind::wrongBitCount:
            return p.value == 0 || p.value > qm5::kMaxPositionBits ? QM5_ERROR_MALFORMED : QM5_OK;
        default: return QM5_OK;
    }
}

qm5_place placeOf(std::int64_t image, std::int64_t record, std::uint64_t offset) {
    return {image, record, static_cast<std::int64_t>(offset)};
}

// Checks the file's layout and fills texture from it.
qm5_status describeTexture(qm5_context* ctx, qm5_texture& texture) {
    const std::span<const std::uint8_t> file = texture.bytes.span();
    qm5::TextureInfo info;
    if (!qm5::inspectTexture(file, info)) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    char text[256];
    for (const TextureProblem& p : info.kept()) {
        const qm5_status status = fatalStatus(p);
        if (status == QM5_OK) continue;
        return fail(ctx, status, placeOf(p.image, p.record, p.offset), "%s",
                    qm5::describeProblem(info, p, text, sizeof text));
    }
    // Problems past the kept ones are only counted: a missing image is still
    // seen by its summary.
    if (!info.layoutKnown) return fail(ctx, QM5_ERROR_MALFORMED, kNowhere);
    for (std::size_t i = 0; i < info.images.size(); ++i) {
        if (i >= info.imagesReached || !info.images[i].complete) {
            return fail(ctx, QM5_ERROR_TRUNCATED, {static_cast<std::int64_t>(i), -1, -1},
                        "image %zu runs past the end of the file", i);
        }
    }
    const qm5::TextureHeader& header = info.header;
    texture.info.version = header.version;
    texture.info.width = header.signedWidth();
    texture.info.height = header.signedHeight();
    texture.info.colour_count = header.signedColourCount();
    texture.info.mipmap_levels = header.mipmapCount;
    texture.info.image_count = header.imageCount;
    texture.info.compressed = header.isCompressed() ? 1 : 0;
    if (!texture.images.allocate(info.images.size())) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    for (std::size_t i = 0; i < info.images.size(); ++i)
        texture.images[i] = {texture.info.compressed, info.images[i].offset, info.images[i].bytes};
    const qm5::LayoutCheck check = qm5::checkTextureLayout(file);
    if (!texture.palette.allocate(static_cast<std::uint64_t>(texture.info.colour_count)))
        return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    for (std::size_t k = 0; k < texture.palette.size(); ++k) texture.palette[k] = check.layout.colour(k);
    return QM5_OK;
}

qm5_status openBytes(qm5_context* ctx, qm5::HeapArray<std::uint8_t>&& bytes, qm5_texture** out) {
    qm5_texture* texture = new (std::nothrow) qm5_texture;
    if (texture == nullptr) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    texture->ctx = ctx;
    texture->bytes = std::move(bytes);
    const qm5_status status = describeTexture(ctx, *texture);
    if (status != QM5_OK) {
        delete texture;
        return status;
    }
    *out = texture;
    return qm5::capi::succeed(ctx);
}

// Bytes of count items of itemBytes each; false when size_t cannot hold them.
bool sizeOf(std::uint64_t count, std::uint64_t itemBytes, std::size_t& bytes) {
    const std::uint64_t total = count * itemBytes;  // below 2^33 for any texture
    if (total > SIZE_MAX) return false;
    bytes = static_cast<std::size_t>(total);
    return true;
}

qm5_status bufferSize(const qm5_texture& texture, const qm5_buffer& which, std::size_t& bytes) {
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(texture.info.width) * static_cast<std::uint64_t>(texture.info.height);
    bool fits = false;
    const int kind = qm5::capi::valueOf(which);
    switch (kind) {
        case QM5_BUFFER_RGBA: fits = sizeOf(pixels, 4, bytes); break;
        case QM5_BUFFER_INDICES: fits = sizeOf(pixels, 2, bytes); break;
        case QM5_BUFFER_PALETTE: fits = sizeOf(texture.palette.size(), 4, bytes); break;
        default: return fail(texture.ctx, QM5_ERROR_ARGUMENT, kNowhere, "unknown buffer %d", kind);
    }
    if (!fits) return fail(texture.ctx, QM5_ERROR_LIMIT, kNowhere, "the buffer would not fit in this machine's memory");
    return QM5_OK;
}

// Checks the caller's buffer for which: present and large enough.
qm5_status checkBuffer(const qm5_texture& texture, qm5_buffer which, const void* out, std::size_t outSize) {
    std::size_t need = 0;
    if (const qm5_status status = bufferSize(texture, which, need); status != QM5_OK) return status;
    if (outSize < need) {
        return fail(texture.ctx, QM5_ERROR_BUFFER_SIZE, kNowhere, "the buffer holds %zu bytes, %zu are needed", outSize,
                    need);
    }
    if (out == nullptr && need != 0) return fail(texture.ctx, QM5_ERROR_ARGUMENT, kNowhere, "the buffer is null");
    return QM5_OK;
}

qm5_status statusOf(qm5::TextureError error) {
    switch (error) {
        case qm5::TextureError::none: return QM5_OK;
        case qm5::TextureError::cannotOpen: return QM5_ERROR_IO;
        case qm5::TextureError::notTexture: return QM5_ERROR_NOT_TEXTURE;
        case qm5::TextureError::truncated: return QM5_ERROR_TRUNCATED;
        case qm5::TextureError::malformed: return QM5_ERROR_MALFORMED;
        case qm5::TextureError::tooLarge:
        case qm5::TextureError::tooMuchWork: return QM5_ERROR_LIMIT;
        case qm5::TextureError::outOfMemory: break;
    }
    return QM5_ERROR_OUT_OF_MEMORY;
}

// Decodes image into picture: palette colours, or indices.
qm5_status decodeImage(qm5_texture& texture, std::uint32_t image, bool indices, qm5::Picture& picture) {
    qm5_context* ctx = texture.ctx;
    qm5::DecodeOptions options;
    options.maxPixels = qm5::capi::bound(ctx->maxPixels);
    options.maxPaintWork = qm5::capi::bound(ctx->maxPaintWork);
    options.indices = indices;
    qm5::TextureFault fault{-1, -1, UINT64_MAX};
    const qm5::TextureError error = qm5::decodeTextureImage(texture.bytes.span(), image, picture, options, &fault);
    if (error == qm5::TextureError::none) return QM5_OK;
    const qm5_place place{fault.image, fault.record,
                          fault.offset == UINT64_MAX ? -1 : static_cast<std::int64_t>(fault.offset)};
    if (fault.record >= 0) {
        return fail(ctx, statusOf(error), place, "record %" PRId64 " of image %" PRIu32 " (byte %" PRId64 "): %s",
                    fault.record, image, place.offset, qm5::describe(error));
    }
    return fail(ctx, statusOf(error), place, "image %" PRIu32 ": %s", image, qm5::describe(error));
}

// Colours as stored (red in bits 0..7) to RGBA8, opaque: the top byte of a
// stored colour is not alpha.
void storeRgba(std::span<const std::uint32_t> colours, std::uint8_t* rgba) {
    for (const std::uint32_t colour : colours) {
        *rgba++ = static_cast<std::uint8_t>(colour);
        *rgba++ = static_cast<std::uint8_t>(colour >> 8);
        *rgba++ = static_cast<std::uint8_t>(colour >> 16);
        *rgba++ = 255;
    }
}

qm5_status checkImage(const qm5_texture& texture, std::uint32_t image) {
    if (image < texture.info.image_count) return QM5_OK;
    return fail(texture.ctx, QM5_ERROR_ARGUMENT, {image, -1, -1},
                "no image %" PRIu32 " in a texture of %" PRIu32 " images", image, texture.info.image_count);
}

// An image to decode: one of the texture's, within the pixel limit (checked
// before the caller's buffer, so that a caller need not allocate to learn it).
qm5_status checkDecodable(const qm5_texture& texture, std::uint32_t image) {
    qm5_context* ctx = texture.ctx;
    if (const qm5_status s = checkImage(texture, image); s != QM5_OK) return s;
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(texture.info.width) * static_cast<std::uint64_t>(texture.info.height);
    if (pixels <= qm5::capi::bound(ctx->maxPixels)) return QM5_OK;
    return fail(ctx, QM5_ERROR_LIMIT, {image, -1, static_cast<std::int64_t>(qm5::kWidthOffset)},
                "image %" PRIu32 " of %d x %d pixels is above the pixel limit of %" PRIu64, image, texture.info.width,
                texture.info.height, ctx->maxPixels);
}

// Decodes image into the caller's buffer `which` (RGBA or indices), which
// store fills from the decoded values.
template <class Store>
qm5_status decodeInto(qm5_texture* texture, std::uint32_t image, qm5_buffer which, const void* out, std::size_t outSize,
                      Store store) {
    if (texture == nullptr) return QM5_ERROR_ARGUMENT;
    return qm5::capi::guarded(texture->ctx, [&] {
        if (const qm5_status s = checkDecodable(*texture, image); s != QM5_OK) return s;
        if (const qm5_status s = checkBuffer(*texture, which, out, outSize); s != QM5_OK) return s;
        qm5::Picture picture;
        if (const qm5_status s = decodeImage(*texture, image, which == QM5_BUFFER_INDICES, picture); s != QM5_OK)
            return s;
        store(picture.pixels.span());
        return qm5::capi::succeed(texture->ctx);
    });
}

}  // namespace

extern "C" {

qm5_status qm5_open(qm5_context* ctx, const void* data, size_t size, qm5_texture** out) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    if (out == nullptr || (data == nullptr && size != 0))
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no data or no place for the texture");
    *out = nullptr;
    return qm5::capi::guarded(ctx, [&] {
        if (size > qm5::capi::bound(ctx->maxMemory)) {
            return fail(ctx, QM5_ERROR_LIMIT, kNowhere,
                        "a texture of %zu bytes is above the memory limit of %" PRIu64 " bytes", size, ctx->maxMemory);
        }
        qm5::HeapArray<std::uint8_t> bytes;
        if (!bytes.allocate(size)) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
        if (size != 0) std::memcpy(bytes.data(), data, size);
        return openBytes(ctx, std::move(bytes), out);
    });
}

qm5_status qm5_open_file(qm5_context* ctx, const char* path, qm5_texture** out) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    if (out == nullptr || path == nullptr)
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no path or no place for the texture");
    *out = nullptr;
    return qm5::capi::guarded(ctx, [&] {
        qm5::HeapArray<std::uint8_t> bytes;
        switch (qm5::readWholeFile(path, bytes, qm5::capi::bound(ctx->maxMemory))) {
            case qm5::ReadFileError::none: break;
            case qm5::ReadFileError::cannotOpen: return fail(ctx, QM5_ERROR_IO, kNowhere, "cannot be opened or read");
            case qm5::ReadFileError::tooLarge:
                return fail(ctx, QM5_ERROR_LIMIT, kNowhere, "larger than the memory limit of %" PRIu64 " bytes",
                            ctx->maxMemory);
            case qm5::ReadFileError::outOfMemory: return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
        }
        return openBytes(ctx, std::move(bytes), out);
    });
}

void qm5_close(qm5_texture* texture) { delete texture; }

qm5_status qm5_get_info(const qm5_texture* texture, qm5_info* out) {
    if (texture == nullptr) return QM5_ERROR_ARGUMENT;
    if (out == nullptr) return fail(texture->ctx, QM5_ERROR_ARGUMENT, kNowhere, "no place for the information");
    *out = texture->info;
    return qm5::capi::succeed(texture->ctx);
}

qm5_status qm5_get_image_info(const qm5_texture* texture, uint32_t image, qm5_image_info* out) {
    if (texture == nullptr) return QM5_ERROR_ARGUMENT;
    if (out == nullptr) return fail(texture->ctx, QM5_ERROR_ARGUMENT, kNowhere, "no place for the information");
    if (const qm5_status status = checkImage(*texture, image); status != QM5_OK) return status;
    *out = texture->images[image];
    return qm5::capi::succeed(texture->ctx);
}

qm5_status qm5_buffer_size(const qm5_texture* texture, qm5_buffer which, size_t* bytes) {
    if (texture == nullptr) return QM5_ERROR_ARGUMENT;
    if (bytes == nullptr) return fail(texture->ctx, QM5_ERROR_ARGUMENT, kNowhere, "no place for the size");
    if (const qm5_status status = bufferSize(*texture, which, *bytes); status != QM5_OK) return status;
    return qm5::capi::succeed(texture->ctx);
}

qm5_status qm5_decode_rgba(qm5_texture* texture, uint32_t image, void* out, size_t out_size) {
    return decodeInto(texture, image, QM5_BUFFER_RGBA, out, out_size, [out](std::span<const std::uint32_t> colours) {
        storeRgba(colours, static_cast<std::uint8_t*>(out));
    });
}

qm5_status qm5_decode_indices(qm5_texture* texture, uint32_t image, uint16_t* out, size_t out_size) {
    return decodeInto(texture, image, QM5_BUFFER_INDICES, out, out_size, [out](std::span<const std::uint32_t> indices) {
        // Below the colour count, at most 32767.
        for (std::size_t p = 0; p < indices.size(); ++p) out[p] = static_cast<std::uint16_t>(indices[p]);
    });
}

qm5_status qm5_get_palette(const qm5_texture* texture, void* out, size_t out_size) {
    if (texture == nullptr) return QM5_ERROR_ARGUMENT;
    if (const qm5_status s = checkBuffer(*texture, QM5_BUFFER_PALETTE, out, out_size); s != QM5_OK) return s;
    storeRgba(texture->palette.span(), static_cast<std::uint8_t*>(out));
    return qm5::capi::succeed(texture->ctx);
}

}  // extern "C"
