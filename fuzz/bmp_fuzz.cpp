// BMP readers over arbitrary bytes: loadBmp24 and loadBmp8 (uncompressed and
// RLE8) each take the input; both must load or refuse cleanly.

#include "fuzz/fuzz_target.hpp"
#include "picture/picture_loader.hpp"
#include "picture/picture_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qm5;
    const std::span<const std::uint8_t> bytes(data, size);
    PictureLoader loader(nullptr);
    fuzz::fold(static_cast<std::uint64_t>(PictureLoader::detectFormat(bytes)));

    Picture picture;
    PictureError e = loader.loadBmp24(bytes, picture);
    fuzz::checkPicture(picture, e == PictureError::none);
    fuzz::fold(static_cast<std::uint64_t>(e));
    fuzz::foldPicture(picture);

    // A picture that held pixels must come back empty from a refused load.
    e = loader.loadBmp8(bytes, picture);
    fuzz::checkPicture(picture, e == PictureError::none);
    fuzz::fold(static_cast<std::uint64_t>(e));
    fuzz::foldPicture(picture);
    if (PictureLoader::detectFormat(bytes) == FormatBmp) {
        fuzz::checkExtent(bytes, measureBmp,
                          [&](std::span<const std::uint8_t> b, Picture& p) { return loader.loadAny(b, p); });
    }
    return 0;
}
