// Texture decoder and bounded reader over arbitrary bytes. Image 0 is
// always decoded; the reserved header byte 3, which the decoder ignores,
// picks one more image (1 to 3) so that skipping images is exercised too.
// Pictures are limited to 2^20 pixels and the painting to the qm5
// command's default: larger legitimate pictures only cost time.
//
// The reader's walk (TextureExtent) is fed the bytes in pieces, as a pipe
// delivers them: it never asks for more than its header allows, and the
// part it reads decodes exactly as the whole file does.

#include <algorithm>

#include "fuzz/fuzz_target.hpp"
#include "texture/texture_decoder.hpp"
#include "texture/texture_input.hpp"

namespace {

using namespace qm5;

DecodeOptions limits() {
    DecodeOptions options;
    options.maxPixels = std::uint64_t{1} << 20;
    return options;
}

TextureProblemKind decodeOne(std::span<const std::uint8_t> bytes, std::int64_t image, Picture& picture) {
    const DecodeOptions options = limits();
    const TextureProblem problem = decodeTextureImage(bytes, image, picture, options);
    if (!problem) {
        fuzz::require(picture.pixels.size() ==
                          static_cast<std::uint64_t>(picture.width) * static_cast<std::uint64_t>(picture.height),
                      "pixel count is not width x height");
        fuzz::require(picture.pixels.size() <= options.maxPixels, "picture above the pixel limit");
    } else {
        fuzz::require(picture.pixels.empty() && picture.width == 0 && picture.height == 0,
                      "a refused texture left a picture behind");
        fuzz::require(problem.offset <= bytes.size(), "problem offset past the end of the file");
    }
    fuzz::fold(static_cast<std::uint64_t>(problem.kind));
    fuzz::fold(problem.offset);
    fuzz::foldPicture(picture);
    return problem.kind;
}

// The part of bytes the reader takes for images 0 .. image, fed in pieces
// whose sizes come from the bytes themselves.
std::span<const std::uint8_t> readPart(std::span<const std::uint8_t> bytes, std::int64_t image) {
    TextureExtent walk(static_cast<std::uint64_t>(image) + 1, limits().maxPixels);
    std::uint64_t have = 0;
    for (std::uint64_t piece = 1;; piece = piece * 7 % 97 + 1) {
        const std::uint64_t want = walk.advance(bytes.first(static_cast<std::size_t>(have)));
        if (walk.done()) {
            fuzz::require(want <= have, "the walk ended past the bytes it was given");
            return bytes.first(static_cast<std::size_t>(want));
        }
        fuzz::require(want > have, "the walk asked for bytes it had");
        fuzz::require(want <= std::max<std::uint64_t>(walk.bound(), 20), "the walk asked past its header's bound");
        if (want > bytes.size()) return bytes;  // the input ends inside the texture
        have = std::min<std::uint64_t>(bytes.size(), want + piece);
    }
}

void check(std::span<const std::uint8_t> bytes, std::int64_t image) {
    Picture whole;
    const TextureProblemKind e = decodeOne(bytes, image, whole);
    // The reader reaches only the images the header counts (and always the first).
    const std::int64_t counted = bytes.size() >= 12 ? bytes[10] | (bytes[11] << 8) : 0;
    if (image >= std::max<std::int64_t>(counted, 1)) return;
    Picture part;
    fuzz::require(decodeOne(readPart(bytes, image), image, part) == e, "the part read decodes otherwise");
    fuzz::require(std::equal(part.pixels.begin(), part.pixels.end(), whole.pixels.begin(), whole.pixels.end()),
                  "the part read gives other pixels");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    check(bytes, 0);
    if (size > 3 && (data[3] & 3) != 0) check(bytes, data[3] & 3);
    return 0;
}
