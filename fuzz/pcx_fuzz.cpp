// PCX reader over arbitrary bytes, its scan-line messages silenced.

#include "fuzz/fuzz_target.hpp"
#include "picture/picture_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qm5;
    PictureLoader loader(nullptr);
    Picture picture;
    const PictureError e = loader.loadPcx(std::span<const std::uint8_t>(data, size), picture);
    fuzz::checkPicture(picture, e == PictureError::none);
    fuzz::fold(static_cast<std::uint64_t>(e));
    fuzz::foldPicture(picture);
    return 0;
}
