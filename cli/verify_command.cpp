// qm5 verify: a texture against the pictures it was made from. The decoded
// colour of every pixel must equal the input pixel's value as the reader
// packed it: the palette maps colours to indices and back without change.
#include <cinttypes>

#include "cli/commands.hpp"
#include "cli/messages.hpp"
#include "cli/streams.hpp"
#include "formats/picture_formats.hpp"
#include "maker/console.hpp"
#include "maker/input_pictures.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5::cli {

int runVerify(const ParsedOptions& options, const Context& context) {
    const char* inputOperand = options.operands[0];
    const char* textureOperand = options.operands[1];
    if (isStandardStream(inputOperand) && isStandardStream(textureOperand))
        return usageError(context, "verify", "standard input can be read only once: give INPUT or TEXTURE as a file");
    const char* input = inputName(inputOperand);
    const char* texture = inputName(textureOperand);
    const bool quiet = options.has(Opt::quiet);
    DecodeOptions limits;
    int status = kFailure;
    if (!decodeLimits(options, context, "verify", limits, status)) return status;

    Console silent(nullptr, nullptr);
    ReadOptions readOptions;
    readOptions.ignoreAlpha = options.has(Opt::ignoreAlpha);
    // The PCX reader's scan-line warnings go to the error stream.
    FormatsPictureReader reader(quiet ? nullptr : context.err, readOptions);
    FileList files;
    InputPictures pictures;
    InputFailure failure;
    // The pictures under the same pixel limit as the texture's.
    InputOptions inputs = inputOptions(context, inputOperand);
    inputs.maxPixels = limits.maxPixels;
    if (loadInputPictures(silent, reader, input, files, pictures, &failure, inputs) != InputError::none) {
        reportInputFailure(context, input, files, failure, inputs.stream != nullptr);
        return kFailure;
    }

    TextureRead read;
    TextureHeader header;
    if (!readTextureToDecode(context, textureOperand, UINT64_MAX, limits, read, header)) return kFailure;
    const std::span<const std::uint8_t> bytes = read.bytes.span();
    if (header.imageCount != pictures.count) {
        fileError(context, texture, "holds %u image%s, but %s %s %d picture%s", static_cast<unsigned>(header.imageCount),
                  header.imageCount == 1 ? "" : "s", input, pictures.single ? "holds" : "names",
                  static_cast<int>(pictures.count), pictures.count == 1 ? "" : "s");
        return kFailure;
    }
    // The header says the size at once; nothing is decoded when it differs.
    const Picture& first = pictures.pictures[0];
    const std::int32_t width = header.signedWidth();
    const std::int32_t height = header.signedHeight();
    if (width > 0 && height > 0 && (width != first.width || height != first.height)) {
        fileError(context, texture, "is %d x %d pixels, but %s is %d x %d", static_cast<int>(width),
                  static_cast<int>(height), files.at(0)->name, static_cast<int>(first.width),
                  static_cast<int>(first.height));
        return kFailure;
    }

    TextureDecoder decoder;
    TextureFault fault;
    const TextureError error = decoder.check(bytes, 0, pictures.count, limits, &fault);
    if (error != TextureError::none) {
        reportTextureFailure(context, texture, bytes, error, fault, limits);
        return kFailure;
    }
    for (std::int32_t i = 0; i < pictures.count; ++i) {
        const Picture& want = pictures.pictures[static_cast<std::size_t>(i)];
        const char* name = files.at(i)->name;
        Picture got;
        if (decoder.decode(i, got) != TextureError::none) {
            fileError(context, texture, "not enough memory to decode image %d", static_cast<int>(i));
            return kFailure;
        }
        const std::size_t n = want.pixels.size();
        for (std::size_t p = 0; p < n; ++p) {
            if (got.pixels[p] == want.pixels[p]) continue;
            const std::size_t w = static_cast<std::size_t>(want.width);
            fileError(context, texture, "image %d differs from %s at pixel (%zu, %zu): colour 0x%06" PRIX32
                      ", want 0x%06" PRIX32, static_cast<int>(i), name, p % w, p / w, got.pixels[p], want.pixels[p]);
            return kFailure;
        }
    }
    if (!quiet) {
        std::fprintf(context.out, "%s: %d image%s match%s %s\n", texture, static_cast<int>(pictures.count),
                     pictures.count == 1 ? "" : "s", pictures.count == 1 ? "es" : "", input);
    }
    return kSuccess;
}

}  // namespace qm5::cli
