// qm5 verify: a texture against the pictures it was made from. The decoded
// colour of every pixel must equal the input pixel's value as the reader
// packed it: the palette maps colours to indices and back without change.
#include <cinttypes>
#include <string>
#include <vector>

#include "cli/collection.hpp"
#include "cli/commands.hpp"
#include "cli/messages.hpp"
#include "cli/streams.hpp"
#include "formats/picture_formats.hpp"
#include "maker/console.hpp"
#include "maker/input_pictures.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5::cli {

namespace {

// The pictures of INPUT (operand), none of more than maxPixels; false after
// a message.
bool loadPictures(const ParsedOptions& options, const Context& context, const char* operand, std::uint64_t maxPixels,
                  FileList& files, InputPictures& pictures) {
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
        if (!pictures.single) warnListCount(context, inputName(operand), files);
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

// One pair: the pictures of inputOperand against textureOperand; false after the message.
bool verifyOne(const ParsedOptions& options, const Context& context, const char* inputOperand,
               const char* textureOperand, const DecodeOptions& limits) {
    const char* input = inputName(inputOperand);
    const char* texture = inputName(textureOperand);
    FileList files;
    InputPictures pictures;
    if (!loadPictures(options, context, inputOperand, limits.maxPixels, files, pictures)) return false;
    TextureRead read;
    TextureDecoder decoder;
    TextureProblem problem;
    if (!readTextureToDecode(context, textureOperand, UINT64_MAX, limits, read, decoder, problem)) return false;
    const TextureHeader& header = decoder.layout().header;
    if (!sameShape(context, texture, header, input, files, pictures)) return false;
    if (!problem) problem = decoder.check(0, pictures.count);
    if (problem) {
        reportTextureProblem(context, texture, header, problem);
        return false;
    }
    if (!sameImages(context, texture, decoder, files, pictures)) return false;
    if (!options.has(Opt::quiet)) {
        std::fprintf(context.out, "%s: %d image%s match%s %s\n", texture, static_cast<int>(pictures.count),
                     pictures.count == 1 ? "" : "s", pictures.count == 1 ? "es" : "", input);
    }
    return true;
}

// -r: every picture below the folder INPUT against the texture encode -r
// gives it under the folder TEXTURE. A picture whose texture name an
// earlier one took (encode refused it) is noted and not checked.
bool verifyFolders(const ParsedOptions& options, const Context& context, const DecodeOptions& limits) {
    const char* textures = options.operands[1];
    CollectSettings collect = collectSettings(options, FileKind::picture, "verify");
    collect.recursive = true;
    std::vector<FoundFile> pictures;
    bool ok = collectFiles(context, {options.operands.data(), 1}, collect, pictures);
    std::vector<std::string> names;
    for (const FoundFile& picture : pictures) names.push_back(outputPath(picture, textures, ".qm5"));
    markSameOutputs(pictures, names);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        if (pictures[i].clashes()) {
            if (!options.has(Opt::quiet)) {
                fileError(context, pictures[i].path.c_str(), "its texture %s is that of %s; not checked",
                          names[i].c_str(), pictures[pictures[i].sameOutputAs].path.c_str());
            }
            continue;
        }
        ok = verifyOne(options, context, pictures[i].path.c_str(), names[i].c_str(), limits) && ok;
    }
    return ok;
}

}  // namespace

int runVerify(const ParsedOptions& options, const Context& context) {
    const std::vector<const char*>& operands = options.operands;
    const bool recursive = options.has(Opt::recursive);
    if (recursive && operands.size() != 2)
        return usageError(context, "verify", "-r takes one picture folder and one texture folder");
    if (operands.size() % 2 != 0)
        return usageError(context, "verify", std::string("INPUT and TEXTURE come in pairs; '") + operands.back() +
                                                 "' has no TEXTURE");
    int fromStandardInput = 0;
    for (const char* operand : operands) fromStandardInput += isStandardStream(operand) ? 1 : 0;
    if (fromStandardInput > 1)
        return usageError(context, "verify", "standard input can be read only once: give INPUT or TEXTURE as a file");
    DecodeOptions limits;
    int status = kFailure;
    if (!decodeLimits(options, context, "verify", limits, status)) return status;
    if (recursive) return verifyFolders(options, context, limits) ? kSuccess : kFailure;
    bool ok = true;
    for (std::size_t i = 0; i < operands.size(); i += 2) {
        ok = verifyOne(options, context, operands[i], operands[i + 1], limits) && ok;
    }
    return ok ? kSuccess : kFailure;
}

}  // namespace qm5::cli
