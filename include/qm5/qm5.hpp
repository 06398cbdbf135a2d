// A thin C++20 layer over the C API of qm5.h: owners that close what they
// open, std::span in, vectors out, and results that hold a value or the
// error that prevented it. Everything here is inline; the C functions do
// the work. A Texture must not outlive the Context that opened it, and one
// Context with its Textures is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "qm5/qm5.h"

namespace qm5 {

struct Error {
    qm5_status status = QM5_OK;
    std::string message;
    qm5_place place = {-1, -1, -1};
    bool ok() const { return status == QM5_OK; }
};

// A value, or the error that prevented it (as std::expected<T, Error>).
template <class T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Error error) : error_(std::move(error)) {}
    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T& operator*() { return *value_; }
    T* operator->() { return &*value_; }
    const Error& error() const { return error_; }

private:
    std::optional<T> value_;
    Error error_;
};

// Settings with every default (QM5_ENCODE_SETTINGS_INIT), in mode.
inline qm5_encode_settings encodeSettings(qm5_mode mode = QM5_MODE_PLAIN) {
    qm5_encode_settings settings;
    qm5_encode_settings_init(&settings);
    settings.mode = mode;
    return settings;
}

namespace detail {
struct CloseTexture {
    void operator()(qm5_texture* t) const { qm5_close(t); }
};
struct FreeContext {
    void operator()(qm5_context* c) const { qm5_context_free(c); }
};
inline Error lastError(const qm5_context* ctx) {
    return {qm5_last_status(ctx), qm5_last_message(ctx), qm5_last_place(ctx)};
}
}  // namespace detail

class Texture {
public:
    const qm5_info& info() const { return info_; }
    qm5_texture* get() const { return texture_.get(); }

    Result<qm5_image_info> image(std::uint32_t index) const {
        qm5_image_info out{};
        if (qm5_get_image_info(get(), index, &out) != QM5_OK) return detail::lastError(ctx_);
        return out;
    }
    // Image `index` as RGBA8 (4 bytes per pixel, rows top to bottom).
    Result<std::vector<std::uint8_t>> rgba(std::uint32_t index) {
        return decode<std::uint8_t>(QM5_BUFFER_RGBA, [&](std::uint8_t* out, std::size_t size) {
            return qm5_decode_rgba(get(), index, out, size);
        });
    }
    // Image `index` as palette indices.
    Result<std::vector<std::uint16_t>> indices(std::uint32_t index) {
        return decode<std::uint16_t>(QM5_BUFFER_INDICES, [&](std::uint16_t* out, std::size_t size) {
            return qm5_decode_indices(get(), index, out, size);
        });
    }
    // The palette as RGBA8, entry k at bytes 4k .. 4k + 3.
    Result<std::vector<std::uint8_t>> palette() {
        return decode<std::uint8_t>(
            QM5_BUFFER_PALETTE, [&](std::uint8_t* out, std::size_t size) { return qm5_get_palette(get(), out, size); });
    }

private:
    friend class Context;
    Texture(qm5_texture* texture, const qm5_context* ctx) : texture_(texture), ctx_(ctx) {
        qm5_get_info(texture, &info_);
    }
    template <class Item, class Fill>
    Result<std::vector<Item>> decode(qm5_buffer which, Fill fill) {
        std::size_t bytes = 0;
        if (qm5_buffer_size(get(), which, &bytes) != QM5_OK) return detail::lastError(ctx_);
        std::vector<Item> out(bytes / sizeof(Item));
        if (fill(out.data(), bytes) != QM5_OK) return detail::lastError(ctx_);
        return out;
    }

    std::unique_ptr<qm5_texture, detail::CloseTexture> texture_;
    const qm5_context* ctx_;
    qm5_info info_{};
};

class Context {
public:
    // Throws std::bad_alloc when the context cannot be had.
    Context() {
        qm5_context* raw = nullptr;
        if (qm5_context_new(&raw) != QM5_OK) throw std::bad_alloc();
        ctx_.reset(raw);
    }
    qm5_context* get() const { return ctx_.get(); }
    Error setLimit(qm5_limit which, std::uint64_t value) {
        qm5_set_limit(get(), which, value);
        return detail::lastError(get());
    }

    Result<Texture> open(std::span<const std::uint8_t> bytes) {
        qm5_texture* t = nullptr;
        if (qm5_open(get(), bytes.data(), bytes.size(), &t) != QM5_OK) return detail::lastError(get());
        return Texture(t, get());
    }
    // As open, without a copy: bytes are read in place and must stay
    // unchanged until the texture is destroyed.
    Result<Texture> openBorrowed(std::span<const std::uint8_t> bytes) {
        qm5_texture* t = nullptr;
        if (qm5_open_borrowed(get(), bytes.data(), bytes.size(), &t) != QM5_OK) return detail::lastError(get());
        return Texture(t, get());
    }
    Result<Texture> openFile(const char* path) {
        qm5_texture* t = nullptr;
        if (qm5_open_file(get(), path, &t) != QM5_OK) return detail::lastError(get());
        return Texture(t, get());
    }

    Result<std::vector<std::uint8_t>> encode(const qm5_images& images, const qm5_encode_options& options = {}) {
        void* data = nullptr;
        std::size_t size = 0;
        if (qm5_encode(get(), &images, &options, &data, &size) != QM5_OK) return detail::lastError(get());
        const std::unique_ptr<void, void (*)(void*)> owned(data, qm5_free);
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        return std::vector<std::uint8_t>(bytes, bytes + size);
    }
    Error encodeFile(const qm5_images& images, const char* path, const qm5_encode_options& options = {}) {
        qm5_encode_file(get(), &images, &options, path);
        return detail::lastError(get());
    }
    // With the extensible settings (encodeSettings() gives the defaults).
    Result<std::vector<std::uint8_t>> encodeWith(const qm5_images& images, const qm5_encode_settings& settings) {
        void* data = nullptr;
        std::size_t size = 0;
        if (qm5_encode_with(get(), &images, &settings, &data, &size) != QM5_OK) return detail::lastError(get());
        const std::unique_ptr<void, void (*)(void*)> owned(data, qm5_free);
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        return std::vector<std::uint8_t>(bytes, bytes + size);
    }
    Error encodeFileWith(const qm5_images& images, const char* path, const qm5_encode_settings& settings) {
        qm5_encode_file_with(get(), &images, &settings, path);
        return detail::lastError(get());
    }
    // One picture of width x height given as RGBA8 (width x height x 4 bytes).
    Result<std::vector<std::uint8_t>> encodeRgba(std::span<const std::uint8_t> rgba, std::int32_t width,
                                                 std::int32_t height, const qm5_encode_options& options = {}) {
        const std::uint64_t need = width > 0 && height > 0 ? std::uint64_t(width) * std::uint64_t(height) * 4 : 0;
        if (need == 0 || rgba.size() != need)
            return Error{QM5_ERROR_ARGUMENT, "the pixels are not width x height x 4 bytes", {-1, -1, -1}};
        const std::uint8_t* pixels[1] = {rgba.data()};
        const qm5_images images = {width, height, 1, pixels, nullptr, nullptr, 0};
        return encode(images, options);
    }

private:
    std::unique_ptr<qm5_context, detail::FreeContext> ctx_;
};

}  // namespace qm5
