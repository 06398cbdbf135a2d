// Contexts, limits, status texts and the record of the last call.
#include "capi/context.hpp"

#include <cstdio>
#include <cstring>

#include "minimiser/limits.hpp"
#include "texture/texture_decoder.hpp"

using qm5::capi::fail;
using qm5::capi::kNowhere;

namespace qm5::capi {

qm5_status succeed(qm5_context* ctx) {
    if (ctx != nullptr) {
        ctx->status = QM5_OK;
        ctx->place = kNowhere;
        ctx->message[0] = '\0';
    }
    return QM5_OK;
}

qm5_status fail(qm5_context* ctx, qm5_status status, qm5_place place, const char* format, ...) {
    if (ctx == nullptr) return status;
    ctx->status = status;
    ctx->place = place;
    if (format == nullptr) {
        std::snprintf(ctx->message, sizeof ctx->message, "%s", qm5_status_text(status));
    } else {
        std::va_list args;
        va_start(args, format);
        std::vsnprintf(ctx->message, sizeof ctx->message, format, args);
        va_end(args);
    }
    return status;
}

}  // namespace qm5::capi

extern "C" {

const char* qm5_version(void) { return "1.0.0"; }

const char* qm5_status_text(qm5_status status) {
    switch (qm5::capi::enumValue(status)) {
        case QM5_OK: return "no error";
        case QM5_ERROR_ARGUMENT: return "invalid argument";
        case QM5_ERROR_BUFFER_SIZE: return "the buffer is too small";
        case QM5_ERROR_IO: return "the file cannot be read or written";
        case QM5_ERROR_NOT_TEXTURE: return "not a texture of version 100";
        case QM5_ERROR_TRUNCATED: return "the texture ends before the data it announces";
        case QM5_ERROR_MALFORMED: return "the texture is malformed";
        case QM5_ERROR_LIMIT: return "above a limit";
        case QM5_ERROR_OUT_OF_MEMORY: return "not enough memory";
        case QM5_ERROR_TRANSPARENT: return "a pixel is not fully opaque";
        case QM5_ERROR_TOO_MANY_COLOURS: return "more than 32767 colours";
        case QM5_ERROR_RECORD_TOO_LONG: return "a colour record would need more than 65535 bytes";
        case QM5_ERROR_CANCELLED: return "cancelled by the progress callback";
        default: break;
    }
    return "unknown status";
}

qm5_status qm5_context_new(qm5_context** out) {
    if (out == nullptr) return QM5_ERROR_ARGUMENT;
    *out = new (std::nothrow) qm5_context;
    if (*out == nullptr) return QM5_ERROR_OUT_OF_MEMORY;
    const qm5::DecodeOptions decode;
    (*out)->maxPixels = decode.maxPixels;
    (*out)->maxPaintWork = decode.maxPaintWork;
    (*out)->maxMemory = qm5::kCompressMemoryLimit;
    return QM5_OK;
}

void qm5_context_free(qm5_context* ctx) { delete ctx; }

qm5_status qm5_set_limit(qm5_context* ctx, qm5_limit which, uint64_t value) {
    if (ctx == nullptr) return QM5_ERROR_ARGUMENT;
    const std::int32_t limit = qm5::capi::enumValue(which);
    switch (limit) {
        case QM5_LIMIT_PIXELS: ctx->maxPixels = value; break;
        case QM5_LIMIT_PAINT_WORK: ctx->maxPaintWork = value; break;
        case QM5_LIMIT_MEMORY: ctx->maxMemory = value; break;
        default: return fail(ctx, QM5_ERROR_ARGUMENT, kNowhere, "unknown limit %d", static_cast<int>(limit));
    }
    return qm5::capi::succeed(ctx);
}

uint64_t qm5_get_limit(const qm5_context* ctx, qm5_limit which) {
    if (ctx == nullptr) return 0;
    switch (qm5::capi::enumValue(which)) {
        case QM5_LIMIT_PIXELS: return ctx->maxPixels;
        case QM5_LIMIT_PAINT_WORK: return ctx->maxPaintWork;
        case QM5_LIMIT_MEMORY: return ctx->maxMemory;
        default: return 0;
    }
}

qm5_status qm5_last_status(const qm5_context* ctx) { return ctx != nullptr ? ctx->status : QM5_ERROR_ARGUMENT; }

const char* qm5_last_message(const qm5_context* ctx) {
    return ctx != nullptr ? ctx->message : qm5_status_text(QM5_ERROR_ARGUMENT);
}

qm5_place qm5_last_place(const qm5_context* ctx) { return ctx != nullptr ? ctx->place : kNowhere; }

}  // extern "C"
