// Opening, inspecting and decoding textures through the C API. A texture
// keeps its own copy of the file (or reads the caller's in place); opening checks the header, the palette and
// that every image lies inside the file (the inspection behind qm5 info, one
// pass over the record heads and plain indices, not a decode), so that what
// opens can be described and every image found: decoding image i then
// starts at its offset and costs image i alone.
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
    qm5::HeapArray<std::uint8_t> bytes;      // its own copy of the file, unless it borrows the caller's
    std::span<const std::uint8_t> file;      // the file read: bytes, or the caller's
    qm5_info info = {};
    qm5::HeapArray<qm5_image_info> images;
    qm5::HeapArray<std::uint32_t> palette;  // as stored: red in bits 0..7
    qm5::TextureHeader header;               // for the texts of its problems
    qm5::TextureDecoder decoder;             // over bytes, without limits: each call brings its own
    qm5::TextureProblem undecodable;         // what the decoder refuses the whole texture for
    bool indicesJudged = false;              // the open found every plain index inside the palette
};

namespace {

using qm5::TextureProblem;
using Kind = qm5::TextureProblemKind;

// The status of a problem, whoever found it.
qm5_status statusOf(Kind kind) {
    switch (kind) {
        case Kind::none: return QM5_OK;
        case Kind::truncatedHeader:
        case Kind::paletteTruncated:
        case Kind::imageTruncated:
        case Kind::recordTruncated: return QM5_ERROR_TRUNCATED;
        case Kind::badMagic:
        case Kind::badVersion: return QM5_ERROR_NOT_TEXTURE;
        case Kind::noSuchImage: return QM5_ERROR_ARGUMENT;
        case Kind::tooLarge:
        case Kind::tooMuchWork: return QM5_ERROR_LIMIT;
        case Kind::outOfMemory: return QM5_ERROR_OUT_OF_MEMORY;
        default: return QM5_ERROR_MALFORMED;
    }
}

// Whether an open refuses the problem: one a decoder cannot read past
// (sizes of 0, cubes the writer would not write and trailing bytes open;
// decoding says what is wrong with the first two).
bool fatal(const TextureProblem& p) {
    switch (p.kind) {
        case Kind::zeroSize:
        case Kind::noColours:
        case Kind::noImages:
        case Kind::cubeBothMasks:
        case Kind::zeroCube:
        case Kind::fillBits:
        case Kind::trailingBytes: return false;
        // The decoder unpacks any b from 1 to 30.
        case Kind::wrongBitCount: return p.value == 0 || p.value > qm5::kMaxPositionBits;
        default: return true;
    }
}

// Records the problem on ctx, worded as every program words it.
qm5_status failWith(qm5_context* ctx, const qm5::TextureHeader& header, const TextureProblem& p) {
    const bool placed = p.kind != Kind::noSuchImage && p.kind != Kind::outOfMemory;
    const std::int64_t offset = placed ? static_cast<std::int64_t>(p.offset) : -1;
    return fail(ctx, statusOf(p.kind), {p.image, p.record, offset}, "%s", qm5::describeProblem(header, p).text);
}

// Checks the file's layout and fills texture from it.
qm5_status describeTexture(qm5_context* ctx, qm5_texture& texture) {
    const std::span<const std::uint8_t> file = texture.file;
    qm5::TextureInfo info;
    if (!qm5::inspectTexture(file, info, 0, true, false)) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    for (const TextureProblem& p : info.kept()) {
        if (fatal(p)) return failWith(ctx, info.header(), p);
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
    const qm5::TextureHeader& header = info.header();
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
    if (!texture.palette.allocate(static_cast<std::uint64_t>(texture.info.colour_count)))
        return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    for (std::size_t k = 0; k < texture.palette.size(); ++k) texture.palette[k] = info.layout.colour(k);
    texture.header = header;
    // Every problem kept and none refused: no plain index lies outside the
    // palette, and decoding need not look again.
    texture.indicesJudged = info.keptProblems == info.problemCount;
    // A texture without pixels or colours opens and is described; decoding
    // it says what is wrong.
    texture.undecodable = texture.decoder.open(file, qm5::DecodeOptions::unlimited());
    if (texture.undecodable.kind == Kind::outOfMemory) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    return QM5_OK;
}

// borrowed: the caller's bytes, read in place (bytes is then empty).
qm5_status openBytes(qm5_context* ctx, qm5::HeapArray<std::uint8_t>&& bytes, qm5_texture** out,
                     std::span<const std::uint8_t> borrowed = {}) {
    qm5_texture* texture = new (std::nothrow) qm5_texture;
    if (texture == nullptr) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    texture->ctx = ctx;
    texture->bytes = std::move(bytes);
    texture->file = texture->bytes.empty() ? borrowed : texture->bytes.span();
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

// buffer: a qm5_buffer as the caller's integer (qm5::capi::enumValue); even
// passing the caller's enum on as one would load it.
qm5_status bufferSize(const qm5_texture& texture, std::int32_t buffer, std::size_t& bytes) {
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(texture.info.width) * static_cast<std::uint64_t>(texture.info.height);
    bool fits = false;
    switch (buffer) {
        case QM5_BUFFER_RGBA: fits = sizeOf(pixels, 4, bytes); break;
        case QM5_BUFFER_INDICES: fits = sizeOf(pixels, 2, bytes); break;
        case QM5_BUFFER_PALETTE: fits = sizeOf(texture.palette.size(), 4, bytes); break;
        default: return fail(texture.ctx, QM5_ERROR_ARGUMENT, kNowhere, "unknown buffer %d", static_cast<int>(buffer));
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

// Decodes image into out (a buffer checked to be large enough) in format,
// within the context's painting limit; out is left as it was on failure.
qm5_status decodeImage(qm5_texture& texture, std::uint32_t image, qm5::PixelFormat format, void* out) {
    if (texture.undecodable) return failWith(texture.ctx, texture.header, texture.undecodable);
    // The painting limit of the qm5 command, per pixel as the context sets
    // it and per image while it is bounded.
    qm5::DecodeOptions limits;
    limits.maxPaintWork = qm5::capi::bound(texture.ctx->maxPaintWork);
    if (limits.maxPaintWork == qm5::kNoLimit) limits.maxPaintSteps = qm5::kNoLimit;
    const TextureProblem problem = texture.decoder.decodeAt(image, texture.images[image].offset, format, out, limits,
                                                                  texture.indicesJudged);
    return problem ? failWith(texture.ctx, texture.header, problem) : QM5_OK;
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
    TextureProblem problem;
    problem.kind = Kind::noSuchImage;
    problem.image = image;
    problem.expected = texture.info.image_count;
    return failWith(texture.ctx, texture.header, problem);
}

// An image to decode: one of the texture's, within the pixel limit (checked
// before the caller's buffer, so that a caller need not allocate to learn it).
qm5_status checkDecodable(const qm5_texture& texture, std::uint32_t image) {
    qm5_context* ctx = texture.ctx;
    if (const qm5_status s = checkImage(texture, image); s != QM5_OK) return s;
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(texture.info.width) * static_cast<std::uint64_t>(texture.info.height);
    if (pixels <= qm5::capi::bound(ctx->maxPixels)) return QM5_OK;
    TextureProblem problem;
    problem.kind = Kind::tooLarge;
    problem.image = image;
    problem.offset = qm5::kWidthOffset;
    problem.value = static_cast<std::int64_t>(pixels);
    problem.expected = static_cast<std::int64_t>(ctx->maxPixels);
    return failWith(ctx, texture.header, problem);
}

// Decodes image into the caller's buffer `which` (RGBA or indices).
qm5_status decodeInto(qm5_texture* texture, std::uint32_t image, qm5_buffer which, void* out, std::size_t outSize) {
    if (texture == nullptr) return QM5_ERROR_ARGUMENT;
    return qm5::capi::guarded(texture->ctx, [&] {
        if (const qm5_status s = checkDecodable(*texture, image); s != QM5_OK) return s;
        if (const qm5_status s = checkBuffer(*texture, which, out, outSize); s != QM5_OK) return s;
        const qm5::PixelFormat format = which == QM5_BUFFER_INDICES ? qm5::PixelFormat::indices16 : qm5::PixelFormat::rgba8;
        if (const qm5_status s = decodeImage(*texture, image, format, out); s != QM5_OK) return s;
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
        if (!bytes.assign({static_cast<const std::uint8_t*>(data), size}))
            return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
        return openBytes(ctx, std::move(bytes), out);
    });
}

qm5_status qm5_open_borrowed(qm5_context* ctx, const void* data, size_t size, qm5_texture** out) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    if (out == nullptr || (data == nullptr && size != 0))
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no data or no place for the texture");
    *out = nullptr;
    return qm5::capi::guarded(ctx, [&] {
        return openBytes(ctx, {}, out, {static_cast<const std::uint8_t*>(data), size});
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
    if (const qm5_status status = bufferSize(*texture, qm5::capi::enumValue(which), *bytes); status != QM5_OK) return status;
    return qm5::capi::succeed(texture->ctx);
}

qm5_status qm5_decode_rgba(qm5_texture* texture, uint32_t image, void* out, size_t out_size) {
    return decodeInto(texture, image, QM5_BUFFER_RGBA, out, out_size);
}

qm5_status qm5_decode_indices(qm5_texture* texture, uint32_t image, uint16_t* out, size_t out_size) {
    return decodeInto(texture, image, QM5_BUFFER_INDICES, out, out_size);
}

qm5_status qm5_get_palette(const qm5_texture* texture, void* out, size_t out_size) {
    if (texture == nullptr) return QM5_ERROR_ARGUMENT;
    if (const qm5_status s = checkBuffer(*texture, QM5_BUFFER_PALETTE, out, out_size); s != QM5_OK) return s;
    storeRgba(texture->palette.span(), static_cast<std::uint8_t*>(out));
    return qm5::capi::succeed(texture->ctx);
}

}  // extern "C"
