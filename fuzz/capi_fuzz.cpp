// The C API over arbitrary bytes: qm5_open, then every query and the
// decoding of image 0 (and of the image that header byte 3 picks, 1 to 3)
// as RGBA and as indices, with images limited to 2^20 pixels. A texture that
// opens must describe itself consistently, and its two decodings must agree
// through the palette.

#include <cstring>
#include <vector>

#include "fuzz/fuzz_target.hpp"
#include "qm5/qm5.h"

namespace {

using qm5::fuzz::require;

constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 20;

struct Context {
    qm5_context* ctx = nullptr;
    Context() { require(qm5_context_new(&ctx) == QM5_OK, "no context"); }
    ~Context() { qm5_context_free(ctx); }
};

void checkRefusal(qm5_context* ctx, qm5_status status, const qm5_texture* texture, std::size_t size) {
    require(status != QM5_OK && texture == nullptr, "a refused texture was handed out");
    require(qm5_last_status(ctx) == status && qm5_last_message(ctx)[0] != '\0', "a refusal without a message");
    require(qm5_last_place(ctx).offset <= static_cast<std::int64_t>(size), "fault offset past the end of the data");
    qm5::fuzz::fold(static_cast<std::uint64_t>(status));
}

// The images lie one after another, inside the data.
void checkImages(qm5_texture* texture, const qm5_info& info, std::size_t size) {
    std::uint64_t end = 0;
    for (std::uint32_t i = 0; i < info.image_count; ++i) {
        qm5_image_info image;
        require(qm5_get_image_info(texture, i, &image) == QM5_OK, "an image of the count has no information");
        require(i == 0 || image.offset == end, "images are not contiguous");
        end = image.offset + image.size;
        require(end <= size, "an image past the end of the data");
    }
}

void decode(qm5_context* ctx, qm5_texture* texture, const qm5_info& info, std::uint32_t image) {
    const std::uint64_t pixels = std::uint64_t(info.width) * std::uint64_t(info.height);
    if (pixels > kMaxPixels) {
        // Refused before the buffer is looked at.
        require(qm5_decode_rgba(texture, image, nullptr, 0) == QM5_ERROR_LIMIT, "a picture above the pixel limit");
        return;
    }
    std::size_t rgbaBytes = 0, indexBytes = 0, paletteBytes = 0;
    require(qm5_buffer_size(texture, QM5_BUFFER_RGBA, &rgbaBytes) == QM5_OK &&
                qm5_buffer_size(texture, QM5_BUFFER_INDICES, &indexBytes) == QM5_OK &&
                qm5_buffer_size(texture, QM5_BUFFER_PALETTE, &paletteBytes) == QM5_OK,
            "no buffer sizes");
    std::vector<std::uint8_t> rgba(rgbaBytes), palette(paletteBytes);
    std::vector<std::uint16_t> indices(indexBytes / 2);
    require(qm5_get_palette(texture, palette.data(), palette.size()) == QM5_OK, "no palette");
    const qm5_status a = qm5_decode_rgba(texture, image, rgba.data(), rgba.size());
    const qm5_status b = qm5_decode_indices(texture, image, indices.data(), indexBytes);
    require(a == b, "the two decodings disagree on the outcome");
    if (a != QM5_OK) {
        require(qm5_last_message(ctx)[0] != '\0', "a refusal without a message");
        qm5::fuzz::fold(static_cast<std::uint64_t>(a));
        return;
    }
    static const std::uint8_t black[4] = {0, 0, 0, 255};
    for (std::size_t p = 0; p < indices.size(); ++p) {
        const std::uint16_t k = indices[p];
        require(k < info.colour_count || (k == 0 && info.colour_count == 0), "an index past the palette");
        const std::uint8_t* pixel = &rgba[4 * p];
        // Pixels no record covers are index 0 and black.
        const bool same = k < info.colour_count && std::memcmp(pixel, &palette[4u * k], 4) == 0;
        require(same || (k == 0 && std::memcmp(pixel, black, 4) == 0), "RGBA and indices disagree");
        qm5::fuzz::fold(std::uint64_t{k} << 32 | std::uint64_t{pixel[0]} << 16 | pixel[1] << 8 | pixel[2]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Context context;
    qm5_context* ctx = context.ctx;
    qm5_set_limit(ctx, QM5_LIMIT_PIXELS, kMaxPixels);
    qm5_texture* texture = nullptr;
    const qm5_status status = qm5_open(ctx, data, size, &texture);
    if (status != QM5_OK) {
        checkRefusal(ctx, status, texture, size);
        return 0;
    }
    qm5_info info;
    require(qm5_get_info(texture, &info) == QM5_OK, "no information");
    require(info.version == 100 && info.width >= 0 && info.height >= 0 && info.colour_count >= 0, "bad information");
    checkImages(texture, info, size);
    if (info.image_count > 0) decode(ctx, texture, info, 0);
    const std::uint32_t second = size > 3 ? data[3] & 3u : 0;
    if (second != 0 && second < info.image_count) decode(ctx, texture, info, second);
    qm5_close(texture);
    return 0;
}
