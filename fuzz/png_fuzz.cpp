// PNG reader (libspng and the conversion to pixels) over arbitrary bytes,
// alpha refused and then dropped. Inputs of eight bytes or more start with
// the PNG signature, so that the fuzzer spends its time past it.

#include <cstring>
#include <vector>

#include "formats/png_codec.hpp"
#include "fuzz/fuzz_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qm5;
    std::vector<std::uint8_t> file(data, data + size);
    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() >= 8) std::memcpy(file.data(), kSignature, 8);
    for (bool ignoreAlpha : {false, true}) {
        ReadOptions options;
        options.ignoreAlpha = ignoreAlpha;
        Picture picture;
        const PictureError e = loadPng(file, picture, options);
        fuzz::checkPicture(picture, e == PictureError::none);
        fuzz::fold(static_cast<std::uint64_t>(e));
        fuzz::foldPicture(picture);
        fuzz::checkExtent(file, measurePng, [&](std::span<const std::uint8_t> b, Picture& p) {
            return loadPng(b, p, options);
        });
    }
    return 0;
}
