// PCX reader over arbitrary bytes, its scan-line messages silenced; the
// measure of how far a PCX file reaches keeps its contract.

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
    fuzz::checkExtent(std::span<const std::uint8_t>(data, size), measurePcx,
                      [&](std::span<const std::uint8_t> b, Picture& p) { return loader.loadPcx(b, p); });
    return 0;
}
