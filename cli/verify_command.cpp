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

namespace {

// The pictures of INPUT (the first operand), none of more than maxPixels;
// false after a message.
bool loadPictures(const ParsedOptions& options, const Context& context, std::uint64_t maxPixels, FileList& files,
                  InputPictures& pictures) {
    const char* operand = options.operands[0];
    Console silent(nullptr, nullptr);
    ReadOptions readOptions;
    readOptions.ignoreAlpha = options.has(Opt::ignoreAlpha);
    // The PCX reader's scan-line warnings go to the error stream.
    FormatsPictureReader reader(options.has(Opt::quiet) ? nullptr : context.err, readOptions);
    InputFailure failure;
    // The pictures under the same pixel limit as the texture's.
    InputOptions inputs = inputOptions(context, operand);
    inputs.maxPixels = maxPixels;
    if (loadInputPictures(silent, reader, inputName(operand), files, pictures, &failure, inputs) == InputError::none) {
        return true;
    }
    reportInputFailure(context, inputName(operand), files, failure);
    return false;
}

// The header says the image count and the size at once; nothing is decoded
// when either differs. False after a message.
bool sameShape(const Context& context, const char* texture, const TextureHeader& header, const char* input,
               const FileList& files, const InputPictures& pictures) {
    if (header.imageCount != pictures.count) {
        fileError(context, texture, "holds %u image%s, but %s %s %d picture%s", static_cast<unsigned>(header.imageCount),
                  header.imageCount == 1 ? "" : "s", input, pictures.single ? "holds" : "names",
                  static_cast<int>(pictures.count), pictures.count == 1 ? "" : "s");
        return false;
    }
    const Picture& first = pictures.pictures[0];
    const std::int32_t width = header.signedWidth();
    const std::int32_t height = header.signedHeight();
    if (width > 0 && height > 0 && (width != first.width || height != first.height)) {
        fileError(context, texture, "is %d x %d pixels, but %s is %d x %d", static_cast<int>(width),
                  static_cast<int>(height), files.at(0)->name, static_cast<int>(first.width),
                  static_cast<int>(first.height));
        return false;
    }
    return true;
}

// Decodes every image (checked already) and compares it with its picture;
// false after a message on the first difference.
bool sameImages(const Context& context, const char* texture, const TextureDecoder& decoder, const FileList& files,
                const InputPictures& pictures) {
    for (std::int32_t i = 0; i < pictures.count; ++i) {
        const Picture& want = pictures.pictures[static_cast<std::size_t>(i)];
        Picture got;
        if (const TextureProblem failed = decoder.decode(i, got)) {
            reportTextureProblem(context, texture, decoder.layout().header, failed);
            return false;
        }
        for (std::size_t p = 0; p < want.pixels.size(); ++p) {
            if (got.pixels[p] == want.pixels[p]) continue;
            const std::size_t w = static_cast<std::size_t>(want.width);
            fileError(context, texture, "image %d differs from %s at pixel (%zu, %zu): colour 0x%06" PRIX32
                      ", want 0x%06" PRIX32, static_cast<int>(i), files.at(i)->name, p % w, p / w, got.pixels[p],
                      want.pixels[p]);
            return false;
        }
    }
    return true;
}

}  // namespace

int runVerify(const ParsedOptions& options, const Context& context) {
    const char* inputOperand = options.operands[0];
    const char* textureOperand = options.operands[1];
    if (isStandardStream(inputOperand) && isStandardStream(textureOperand))
        return usageError(context, "verify", "standard input can be read only once: give INPUT or TEXTURE as a file");
    const char* input = inputName(inputOperand);
    const char* texture = inputName(textureOperand);
    DecodeOptions limits;
    int status = kFailure;
    if (!decodeLimits(options, context, "verify", limits, status)) return status;

    FileList files;
    InputPictures pictures;
    if (!loadPictures(options, context, limits.maxPixels, files, pictures)) return kFailure;
    TextureRead read;
    TextureDecoder decoder;
    TextureProblem problem;
    if (!readTextureToDecode(context, textureOperand, UINT64_MAX, limits, read, decoder, problem)) return kFailure;
    const TextureHeader& header = decoder.layout().header;
    if (!sameShape(context, texture, header, input, files, pictures)) return kFailure;
    if (!problem) problem = decoder.check(0, pictures.count);
    if (problem) {
        reportTextureProblem(context, texture, header, problem);
        return kFailure;
    }
    if (!sameImages(context, texture, decoder, files, pictures)) return kFailure;
    if (!options.has(Opt::quiet)) {
        std::fprintf(context.out, "%s: %d image%s match%s %s\n", texture, static_cast<int>(pictures.count),
                     pictures.count == 1 ? "" : "s", pictures.count == 1 ? "es" : "", input);
    }
    return kSuccess;
}

}  // namespace qm5::cli
