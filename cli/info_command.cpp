// qm5 info: the header and images of a texture, and every problem in it.
#include <cinttypes>

#include "cli/commands.hpp"
#include "cli/messages.hpp"
#include "cli/streams.hpp"
#include "texture/texture_info.hpp"

namespace qm5::cli {

namespace {

// The file and its header, as far as they can be read.
void printHeader(std::FILE* out, const char* texture, const TextureInfo& info) {
    std::fprintf(out, "file: %s\n", texture);
    std::fprintf(out, "file size: %s%" PRIu64 " bytes\n", info.sizeKnown ? "" : "at least ", info.fileSize);
    if (info.headerRead && info.header().hasMagic()) {
        const TextureHeader& h = info.header();
        const std::int32_t colours = h.signedColourCount();
        std::fprintf(out, "version: %d\n", static_cast<int>(h.version));
        std::fprintf(out, "width: %d\n", static_cast<int>(h.signedWidth()));
        std::fprintf(out, "height: %d\n", static_cast<int>(h.signedHeight()));
        std::fprintf(out, "colours: %d\n", static_cast<int>(colours));
        std::fprintf(out, "mipmap levels: %u\n", static_cast<unsigned>(h.mipmapCount));
        std::fprintf(out, "images: %u\n", static_cast<unsigned>(h.imageCount));
        const bool wide = colours >= 0 && plainIndexBytes(static_cast<std::uint64_t>(colours)) == 2;
        const char* encoding = h.isCompressed() ? "colour records"
                               : wide           ? "plain, 2-byte indices"
                                                : "plain, 1-byte indices";
        std::fprintf(out, "compression: %u (%s)\n", static_cast<unsigned>(h.compression), encoding);
    }
    if (info.layoutKnown) {
        std::fprintf(out, "position bits: %d\n", info.layout.positionBits);
        std::fprintf(out, "palette: %" PRIu64 " bytes at offset %" PRIu64 "\n",
                     static_cast<std::uint64_t>(info.layout.colourCount) * kPaletteEntrySize, info.layout.paletteOffset);
    }
}

}  // namespace

int runInfo(const ParsedOptions& options, const Context& context) {
    const char* operand = options.operands[0];
    const char* texture = inputName(operand);
    // Every image, and whether anything follows the last; the inspection
    // needs no pictures, so no size limit applies.
    TextureReadRequest request;
    request.tail = true;
    TextureRead read;
    if (!readTextureInput(context, operand, request, read)) return kFailure;
    TextureInfo info;
    if (!inspectTexture(read.bytes.span(), info, read.following, read.exact)) {
        fileError(context, texture, "not enough memory to inspect the texture");
        return kFailure;
    }

    std::FILE* out = context.out;
    printHeader(out, texture, info);
    // The percentage is the maker's: bytes against the picture as 32-bit pixels.
    const std::uint64_t trueColour = 4 * info.layout.pixelCount;
    for (std::size_t i = 0; i < info.imagesReached; ++i) {
        const ImageSummary& image = info.images[i];
        std::fprintf(out, "image %zu: %s, %" PRIu64 " bytes at offset %" PRIu64, i,
                     info.header().isCompressed() ? "compressed" : "plain", image.bytes, image.offset);
        if (trueColour > 0) std::fprintf(out, ", %" PRIu64 " %% of true colour", image.bytes * 100 / trueColour);
        if (info.header().isCompressed()) {
            std::fprintf(out, ", records: %u empty, %u whole, %u general, %" PRIu64 " cubes", image.emptyRecords,
                         image.wholeRecords, image.generalRecords, image.cubes);
        }
        if (!image.complete) std::fprintf(out, ", cut short by the end of the file");
        std::fputc('\n', out);
    }

    for (const TextureProblem& problem : info.kept()) reportTextureProblem(context, texture, info.header(), problem);
    if (info.problemCount > info.keptProblems) {
        fileError(context, texture, "%" PRIu64 " more problems", info.problemCount - info.keptProblems);
    }
    if (info.valid()) {
        std::fprintf(out, "status: valid\n");
        return kSuccess;
    }
    std::fprintf(out, "status: %" PRIu64 " problem%s\n", info.problemCount, info.problemCount == 1 ? "" : "s");
    return kFailure;
}

}  // namespace qm5::cli
