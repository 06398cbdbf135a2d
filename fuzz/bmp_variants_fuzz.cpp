// The qm5 command's BMP reader (every variant: 1- to 32-bit, RLE4, RLE8,
// BITFIELDS, top-down, OS/2 headers) over arbitrary bytes, alpha refused and
// then dropped.

#include "formats/bmp_variants.hpp"
#include "fuzz/fuzz_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qm5;
    const std::span<const std::uint8_t> bytes(data, size);
    for (bool ignoreAlpha : {false, true}) {
        ReadOptions options;
        options.ignoreAlpha = ignoreAlpha;
        Picture picture;
        PictureDetail detail;
        const PictureError e = loadBmpVariant(bytes, picture, options, &detail);
        fuzz::checkPicture(picture, e == PictureError::none);
        fuzz::require(e != PictureError::transparent || !ignoreAlpha, "alpha refused though dropped");
        fuzz::fold(static_cast<std::uint64_t>(e));
        fuzz::foldPicture(picture);
        fuzz::checkExtent(bytes, measureBmp, [&](std::span<const std::uint8_t> b, Picture& p) {
            return loadBmpVariant(b, p, options);
        });
    }
    return 0;
}
