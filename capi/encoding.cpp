// Encoding pictures into textures through the C API. The caller's pixels
// become pictures as the readers make them (red in bits 0..7), then go
// through encodeTexture (maker/encoder.hpp), the entry point qm5 encode and
// qm5_maker call, so the bytes are the command's for the same pictures and
// mode.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstddef>
#include <cstring>
#include <memory>

#include "capi/context.hpp"
#include "core/output_sink.hpp"
#include "maker/encode_messages.hpp"
#include "maker/encoder.hpp"
#include "maker/palette.hpp"
#include "minimiser/palette_order.hpp"

using qm5::capi::fail;
using qm5::capi::kNowhere;

namespace {

// As qm5 encode's --jobs.
constexpr std::uint32_t kMaxThreads = 1024;
// The header stores the image count in 16 bits.
constexpr std::uint32_t kMaxImages = 65535;
constexpr std::uint32_t kKnownFlags = QM5_IGNORE_ALPHA | QM5_KEEP_PALETTE_ORDER;

static_assert(QM5_DEFAULT_EFFORT == qm5::kDefaultOrderEffort && QM5_MAX_EFFORT == qm5::kMaxOrderEffort);

// The settings of either form, with every value the caller gave as an integer.
struct Settings {
    std::int32_t mode = QM5_MODE_PLAIN;
    std::uint32_t threads = 0;
    std::uint32_t flags = 0;
    std::uint32_t effort = QM5_DEFAULT_EFFORT;
    qm5_progress_callback progress = nullptr;
    void* progressData = nullptr;
};

// The fields of a qm5_encode_settings that lie inside its size; the others
// keep their defaults. Bytes past the fields this library knows must be 0:
// a field of a later library set to anything else is refused.
qm5_status readSettings(qm5_context* ctx, const qm5_encode_settings* given, Settings& out) {
    if (given == nullptr) return QM5_OK;
    const std::size_t size = given->size;
    if (size < sizeof given->size) return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "settings of %zu bytes", size);
    const auto* bytes = reinterpret_cast<const unsigned char*>(given);
    for (std::size_t at = sizeof(qm5_encode_settings); at < size; ++at) {
        if (bytes[at] != 0) {
            return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere,
                        "the settings set byte %zu, past the %zu bytes this library knows", at,
                        sizeof(qm5_encode_settings));
        }
    }
    const auto known = [size](std::size_t offset, std::size_t length) { return offset + length <= size; };
    if (known(offsetof(qm5_encode_settings, mode), sizeof given->mode)) out.mode = given->mode;
    if (known(offsetof(qm5_encode_settings, threads), sizeof given->threads)) out.threads = given->threads;
    if (known(offsetof(qm5_encode_settings, flags), sizeof given->flags)) out.flags = given->flags;
    if (known(offsetof(qm5_encode_settings, effort), sizeof given->effort)) out.effort = given->effort;
    if (known(offsetof(qm5_encode_settings, progress), sizeof given->progress)) out.progress = given->progress;
    if (known(offsetof(qm5_encode_settings, progress_data), sizeof given->progress_data)) {
        out.progressData = given->progress_data;
    }
    return QM5_OK;
}

// The first form: mode, threads and flags.
Settings settingsOf(const qm5_encode_options* options) {
    Settings out;
    if (options == nullptr) return out;
    out.mode = qm5::capi::enumValue(options->mode);
    out.threads = options->threads;
    out.flags = options->flags;
    return out;
}

qm5_status checkRequest(qm5_context* ctx, const qm5_images* images, const Settings& settings) {
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
    if (settings.mode < QM5_MODE_PLAIN || settings.mode > QM5_MODE_AUTO_BEST)
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "unknown mode %" PRId32, settings.mode);
    if ((settings.flags & ~kKnownFlags) != 0)
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "unknown flags 0x%" PRIx32, settings.flags & ~kKnownFlags);
    if (settings.effort > QM5_MAX_EFFORT) {
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "effort %" PRIu32 "; it runs from 0 to %u", settings.effort,
                    QM5_MAX_EFFORT);
    }
    if ((settings.flags & QM5_KEEP_PALETTE_ORDER) != 0) {
        if (images->indices == nullptr)
            return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "QM5_KEEP_PALETTE_ORDER needs pictures given as indices");
        if (images->palette_size > static_cast<std::uint32_t>(qm5::kMaxPaletteColours)) {
            return fail(ctx, QM5_ERROR_TOO_MANY_COLOURS, kNowhere,
                        "a palette of %" PRIu32 " colours to keep; a texture holds at most %d", images->palette_size,
                        static_cast<int>(qm5::kMaxPaletteColours));
        }
    }
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

// Picture i from the caller's pixels, opaque unless ignoreAlpha: colours,
// or with keepIndices the indices themselves.
qm5_status makePicture(qm5_context* ctx, const qm5_images& images, std::span<const std::uint32_t> palette,
                       std::uint32_t i, const Settings& settings, qm5::Picture& picture) {
    const bool ignoreAlpha = (settings.flags & QM5_IGNORE_ALPHA) != 0;
    const bool keepIndices = (settings.flags & QM5_KEEP_PALETTE_ORDER) != 0;
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
        picture.pixels[p] = keepIndices ? indices[p] : colour & 0xFFFFFFu;
    }
    return QM5_OK;
}

// The caller's progress callback as the encode's observer: each stage's
// start, then at most twenty calls a second and the end of each stage.
class CallbackObserver final : public qm5::EncodeObserver {
public:
    CallbackObserver(qm5_progress_callback callback, void* data) : callback_(callback), data_(data) {}

    void begin(qm5::Stage stage, std::uint32_t image, std::uint32_t images) override {
        state_ = {stageOf(stage), image, images, 0, 0};
        call(true);
    }
    void advance(std::uint64_t done, std::uint64_t total) override {
        state_.done = done;
        state_.total = total;
        call(done >= total);
    }
    bool cancelled() override { return cancelled_; }

private:
    static std::int32_t stageOf(qm5::Stage stage) {
        switch (stage) {
            case qm5::Stage::palette: return QM5_STAGE_PALETTE;
            case qm5::Stage::mipmaps: return QM5_STAGE_MIPMAPS;
            case qm5::Stage::writing: return QM5_STAGE_WRITING;
            case qm5::Stage::reading:
            case qm5::Stage::compressing:
            case qm5::Stage::ordering: break;
        }
        return QM5_STAGE_COMPRESSING;
    }
    void call(bool force) {
        if (callback_ == nullptr || cancelled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(50)) return;
        last_ = now;
        cancelled_ = callback_(data_, &state_) != 0;
    }

    qm5_progress_callback callback_;
    void* data_;
    qm5_progress state_ = {};
    bool cancelled_ = false;
    std::chrono::steady_clock::time_point last_{};
};

qm5_status statusOf(qm5::EncodeError error) {
    switch (error) {
        case qm5::EncodeError::none: return QM5_OK;
        case qm5::EncodeError::cancelled: return QM5_ERROR_CANCELLED;
        case qm5::EncodeError::tooManyColours: return QM5_ERROR_TOO_MANY_COLOURS;
        case qm5::EncodeError::headerOutOfRange: return QM5_ERROR_ARGUMENT;
        case qm5::EncodeError::tooLarge: return QM5_ERROR_LIMIT;
        case qm5::EncodeError::recordTooLong: return QM5_ERROR_RECORD_TOO_LONG;
        case qm5::EncodeError::cannotOpen:
        case qm5::EncodeError::writeFailed: return QM5_ERROR_IO;
        case qm5::EncodeError::outOfMemory:
        case qm5::EncodeError::paletteFailed: break;
    }
    return QM5_ERROR_OUT_OF_MEMORY;
}

// The result on ctx, worded as the qm5 command words it.
qm5_status finish(qm5_context* ctx, const qm5::EncodeResult& result, bool toMemory) {
    if (result.ok()) return qm5::capi::succeed(ctx);
    // Writing into memory fails only when the memory cannot grow.
    if (toMemory && result.error == qm5::EncodeError::writeFailed) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    const qm5_place place = result.error == qm5::EncodeError::recordTooLong
                                ? qm5_place{result.failedImage, result.failedColour, -1}
                                : kNowhere;
    return fail(ctx, statusOf(result.error), place, "%s",
                qm5::describeEncodeFailure(result, "encode plain or with QM5_MODE_AUTO").text);
}

// The whole encoding, into the file path or, when path is null, into sink.
qm5_status encode(qm5_context* ctx, const qm5_images* images, const Settings& settings, const char* path,
                  qm5::OutputSink* sink) {
    if (const qm5_status s = checkRequest(ctx, images, settings); s != QM5_OK) return s;
    qm5::HeapArray<std::uint32_t> palette;
    if (images->indices != nullptr) {
        if (!palette.allocate(images->palette_size)) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
        for (std::size_t k = 0; k < palette.size(); ++k) palette[k] = packRgba(images->palette + 4 * k);
    }
    const std::size_t count = images->count;
    std::unique_ptr<qm5::Picture[]> pictures(new (std::nothrow) qm5::Picture[count]);
    if (!pictures) return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    for (std::uint32_t i = 0; i < images->count; ++i) {
        if (const qm5_status s = makePicture(ctx, *images, palette.span(), i, settings, pictures[i]); s != QM5_OK)
            return s;
    }
    // A kept palette is written without alpha, as every colour of a texture.
    const bool keep = (settings.flags & QM5_KEEP_PALETTE_ORDER) != 0;
    if (keep) {
        for (std::uint32_t& colour : palette) colour &= 0xFFFFFFu;
    }

    CallbackObserver observer(settings.progress, settings.progressData);
    qm5::EncodeRequest request;
    request.pictures = {pictures.get(), count};
    if (keep) request.palette = palette.span();
    const bool best = settings.mode == QM5_MODE_BEST || settings.mode == QM5_MODE_AUTO_BEST;
    request.mode = best                                    ? qm5::EncodeMode::best
                   : settings.mode == QM5_MODE_COMPRESSED ? qm5::EncodeMode::compressed
                                                           : qm5::EncodeMode::plain;
    request.smallest = settings.mode == QM5_MODE_AUTO || settings.mode == QM5_MODE_AUTO_BEST;
    request.effort = best ? settings.effort : 0;
    request.threads = std::min(settings.threads, kMaxThreads);
    request.limits.memory = qm5::capi::bound(ctx->maxMemory);
    request.observer = &observer;
    request.sink = sink;
    request.path = path;
    return finish(ctx, qm5::encodeTexture(request), sink != nullptr);
}

qm5_status toMemory(qm5_context* ctx, const qm5_images* images, const Settings& settings, void** out_data,
                    size_t* out_size) {
    *out_data = nullptr;
    *out_size = 0;
    return qm5::capi::guarded(ctx, [&] {
        qm5::MemoryOutput memory;
        if (const qm5_status s = encode(ctx, images, settings, nullptr, &memory); s != QM5_OK) return s;
        *out_data = memory.release(*out_size);
        return qm5::capi::succeed(ctx);
    });
}

qm5_status toFile(qm5_context* ctx, const qm5_images* images, const Settings& settings, const char* path) {
    return qm5::capi::guarded(ctx, [&] { return encode(ctx, images, settings, path, nullptr); });
}

}  // namespace

extern "C" {

void qm5_encode_settings_init(qm5_encode_settings* settings) {
    if (settings == nullptr) return;
    *settings = qm5_encode_settings QM5_ENCODE_SETTINGS_INIT;
}

qm5_status qm5_encode_with(qm5_context* ctx, const qm5_images* images, const qm5_encode_settings* settings,
                           void** out_data, size_t* out_size) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    if (out_data == nullptr || out_size == nullptr)
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no place for the texture");
    Settings read;
    if (const qm5_status s = readSettings(ctx, settings, read); s != QM5_OK) return s;
    return toMemory(ctx, images, read, out_data, out_size);
}

qm5_status qm5_encode_file_with(qm5_context* ctx, const qm5_images* images, const qm5_encode_settings* settings,
                                const char* path) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    if (path == nullptr || *path == '\0') return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no file name");
    Settings read;
    if (const qm5_status s = readSettings(ctx, settings, read); s != QM5_OK) return s;
    return toFile(ctx, images, read, path);
}

qm5_status qm5_encode(qm5_context* ctx, const qm5_images* images, const qm5_encode_options* options, void** out_data,
                      size_t* out_size) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    if (out_data == nullptr || out_size == nullptr)
        return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no place for the texture");
    return toMemory(ctx, images, settingsOf(options), out_data, out_size);
}

qm5_status qm5_encode_file(qm5_context* ctx, const qm5_images* images, const qm5_encode_options* options,
                           const char* path) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    if (path == nullptr || *path == '\0') return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "no file name");
    return toFile(ctx, images, settingsOf(options), path);
}

void qm5_free(void* data) { std::free(data); }

}  // extern "C"
