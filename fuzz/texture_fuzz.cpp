// Texture decoder over arbitrary bytes. Image 0 is always decoded; the
// reserved header byte 3, which the decoder ignores, picks one more image
// (1 to 3) so that skipping images is exercised too. Pictures are limited to
// 2^20 pixels: larger legitimate pictures only cost time (a file of a few
// kilobytes can legitimately ask for many large cubes over every pixel).

#include "fuzz/fuzz_target.hpp"
#include "texture/texture_decoder.hpp"

namespace {

void decodeOne(std::span<const std::uint8_t> bytes, std::int64_t image) {
    using namespace qm5;
    DecodeOptions options;
    options.maxPixels = std::uint64_t{1} << 20;
    Picture picture;
    TextureFault fault;
    const TextureError e = decodeTextureImage(bytes, image, picture, options, &fault);
    if (e == TextureError::none) {
        fuzz::require(picture.pixels.size() ==
                          static_cast<std::uint64_t>(picture.width) * static_cast<std::uint64_t>(picture.height),
                      "pixel count is not width x height");
        fuzz::require(picture.pixels.size() <= options.maxPixels, "picture above the pixel limit");
    } else {
        fuzz::require(picture.pixels.empty() && picture.width == 0 && picture.height == 0,
                      "a refused texture left a picture behind");
        fuzz::require(fault.offset <= bytes.size(), "fault offset past the end of the file");
    }
    fuzz::fold(static_cast<std::uint64_t>(e));
    fuzz::fold(fault.offset);
    fuzz::foldPicture(picture);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    decodeOne(bytes, 0);
    if (size > 3 && (data[3] & 3) != 0) decodeOne(bytes, data[3] & 3);
    return 0;
}
