// TGA reader over arbitrary bytes, alpha refused and then dropped; the
// classification must agree with what the reader accepts.

#include "formats/tga_reader.hpp"
#include "fuzz/fuzz_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qm5;
    const std::span<const std::uint8_t> bytes(data, size);
    for (bool ignoreAlpha : {false, true}) {
        ReadOptions options;
        options.ignoreAlpha = ignoreAlpha;
        Picture picture;
        PictureDetail detail;
        const PictureError e = loadTga(bytes, picture, options, &detail);
        fuzz::checkPicture(picture, e == PictureError::none);
        fuzz::require(e != PictureError::transparent || !ignoreAlpha, "alpha refused though dropped");
        if (e == PictureError::none) fuzz::require(looksLikeTga(bytes), "a TGA read that classification refuses");
        fuzz::fold(static_cast<std::uint64_t>(e));
        fuzz::foldPicture(picture);
        fuzz::checkExtent(bytes, measureTga, [&](std::span<const std::uint8_t> b, Picture& p) {
            return loadTga(b, p, options);
        });
    }
    return 0;
}
