// qm5 decode: images of a texture as 24-bit BMP or PNG files.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cli/collection.hpp"
#include "cli/commands.hpp"
#include "cli/messages.hpp"
#include "cli/streams.hpp"
#include "core/file_identity.hpp"
#include "core/file_names.hpp"
#include "core/file_io.hpp"
#include "formats/png_codec.hpp"
#include "picture/picture_loader.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5::cli {

namespace {

// The output format, from the extension of name (any case); BMP without one.
enum class OutputFormat { bmp, png, other };
OutputFormat outputFormatOf(const std::string& name, std::size_t stem) {
    if (stem == name.size()) return OutputFormat::bmp;
    std::string extension = name.substr(stem);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".bmp" ? OutputFormat::bmp : extension == ".png" ? OutputFormat::png : OutputFormat::other;
}

// The palette of a texture of at most 256 colours (a PNG of it is
// palettised), else empty.
std::vector<std::uint32_t> smallPalette(const TextureLayout& layout) {
    std::vector<std::uint32_t> palette;
    if (layout.colourCount > 256) return palette;
    for (std::int32_t k = 0; k < layout.colourCount; ++k) palette.push_back(layout.colour(static_cast<std::size_t>(k)));
    return palette;
}

// The file's bytes in the format asked for; false when memory ran out.
bool encodeImage(OutputFormat format, const Picture& picture, std::span<const std::uint32_t> palette,
                 HeapArray<std::uint8_t>& out) {
    return format == OutputFormat::png ? encodePng(picture, palette, out) : PictureLoader::encodeBmp24(picture, out);
}

// What decode writes: the format and the names.
struct DecodeTarget {
    OutputFormat format = OutputFormat::bmp;
    std::string single;  // the file of one image; "-" for standard output
    std::string stem;    // --all: image i goes to STEM-i.EXT
};

// The target of texture from --output, --format and --all; its default
// names from base (the texture's name, or its place under --output-dir).
// A usage error's status, or kSuccess.
int chooseTarget(const ParsedOptions& options, const Context& context, const char* texture, const std::string& base0,
                 DecodeTarget& target) {
    const bool all = options.has(Opt::all);
    if (options.has(Opt::output) && *options.value(Opt::output) == '\0')
        return usageError(context, "decode", "--output needs a file name");
    const std::string given = options.has(Opt::output) ? options.value(Opt::output) : "";
    // The extension of --output chooses the format (none: BMP), unless
    // --format does; nothing but BMP data goes into a .bmp file and nothing
    // but PNG into a .png one.
    const OutputFormat named = outputFormatOf(given, stemLength(given));
    target.format = named;
    if (options.has(Opt::format)) {
        const std::string format = options.value(Opt::format);
        if (format != "bmp" && format != "png")
            return usageError(context, "decode", "--format needs bmp or png, got '" + format + "'");
        target.format = format == "png" ? OutputFormat::png : OutputFormat::bmp;
        if (named != OutputFormat::other && stemLength(given) != given.size() && named != target.format)
            return usageError(context, "decode", "--format " + format + ", but --output names a file of the other format");
    } else if (named == OutputFormat::other) {
        return usageError(context, "decode", "--output must name a .bmp or .png file, got '" + given + "'");
    }
    if (given == "-") {
        if (all) return usageError(context, "decode", "--all writes a file per image, not standard output");
        if (!options.has(Opt::format)) return usageError(context, "decode", "-o - (standard output) needs --format bmp or png");
    }
    // By any name (/dev/stdout).
    if (!given.empty() && context.outIsTerminal && writesStandardOutput(context, given.c_str()))
        return usageError(context, "decode", "standard output is a terminal, and an image is binary data; redirect it");
    if (given.empty() && isStandardStream(texture))
        return usageError(context, "decode", "a texture from standard input has no name for its image; give -o FILE");
    if (target.format == OutputFormat::png && !pngSupported())
        return usageError(context, "decode", "this qm5 was built without libspng and writes no PNG");

    const char* extension = target.format == OutputFormat::png ? ".png" : ".bmp";
    const std::string base = given.empty() ? base0 : given;
    target.stem = base.substr(0, stemLength(base));
    target.single = given.empty() ? target.stem + extension : given;
    if (all) target.stem += "-";
    return kSuccess;
}

// The file of each image first .. end - 1: STEM-i.EXT with --all.
std::vector<std::string> outputNames(const DecodeTarget& target, bool all, std::int64_t first, std::int64_t end) {
    const char* extension = target.format == OutputFormat::png ? ".png" : ".bmp";
    std::vector<std::string> names;
    for (std::int64_t i = first; i < end; ++i) {
        names.push_back(all ? target.stem + std::to_string(i) + extension : target.single);
    }
    return names;
}

// The images asked for against the header's count: none for --all of a
// texture without images, or an image past the count (kind none: there).
TextureProblem imagesAsked(const TextureHeader& header, bool all, std::int64_t image) {
    TextureProblem asked;
    if (all && header.imageCount == 0) asked.kind = TextureProblemKind::noImages;
    if (!all && image >= header.imageCount) {
        asked.kind = TextureProblemKind::noSuchImage;
        asked.image = image;
        asked.expected = header.imageCount;
    }
    return asked;
}

// An output that is the texture itself is refused before anything is written.
bool outputsAreNotTheTexture(const Context& context, const char* texture, const std::vector<std::string>& names) {
    const FileIdentity input = fileIdentity(texture);
    for (const std::string& name : names) {
        if (!input.sameAs(fileIdentity(name.c_str()))) continue;
        fileError(context, name.c_str(), "is the texture being decoded, and an input is never overwritten");
        return false;
    }
    return true;
}

// A name the user did not give (no -o) never replaces a file: decoding
// t.qm5 beside the picture t.bmp it was made from keeps that picture.
bool defaultNamesAreFree(const Context& context, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        std::error_code ec;
        if (!std::filesystem::exists(std::filesystem::symlink_status(name, ec))) continue;
        fileError(context, name.c_str(), "exists, and its name was not given; not replaced (name the output with -o, "
                                         "or give --force to replace it)");
        return false;
    }
    return true;
}

// Image first + k of the checked texture into names[k], for every name, all
// or nothing: the files replace theirs only once all are complete. False
// after the message.
bool writeImages(const Context& context, const char* shown, const TextureDecoder& decoder, OutputFormat format,
                 std::span<const std::uint32_t> palette, std::int64_t first, const std::vector<std::string>& names) {
    OutputGroup files(context, names.size());
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::int64_t i = first + static_cast<std::int64_t>(k);
        Picture picture;
        if (const TextureProblem failed = decoder.decode(i, picture)) {
            reportTextureProblem(context, shown, decoder.layout().header, failed);
            return false;
        }
        HeapArray<std::uint8_t> encoded;
        if (!encodeImage(format, picture, palette, encoded)) {
            fileError(context, outputName(names[k].c_str()), "not enough memory to encode the image");
            return false;
        }
        if (!files.add(names[k].c_str(), encoded.span())) return false;
    }
    return files.publish();
}

}  // namespace

bool decodeLimits(const ParsedOptions& options, const Context& context, const char* command, DecodeOptions& limits,
                  int& status) {
    limits = DecodeOptions{};
    if (options.has(Opt::maxPixels)) {
        std::int64_t n = 0;
        if (!parseNumber(options.value(Opt::maxPixels), 1, INT64_MAX, n)) {
            status = usageError(context, command,
                                std::string("--max-pixels needs a whole number from 1, got '") +
                                    options.value(Opt::maxPixels) + "'");
            return false;
        }
        limits.maxPixels = static_cast<std::uint64_t>(n);
    }
    if (options.has(Opt::noLimits)) limits = DecodeOptions::unlimited();
    return true;
}

namespace {

// Decodes one texture to its target; false after the messages.
bool decodeOne(const ParsedOptions& options, const Context& context, const char* texture, const DecodeTarget& target,
               const DecodeOptions& limits, std::int64_t imageIndex) {
    const bool all = options.has(Opt::all);
    const bool quiet = options.has(Opt::quiet);
    const char* shown = inputName(texture);
    const bool fromStream = isStandardStream(texture);
    if (!all && !fromStream && !outputsAreNotTheTexture(context, texture, {target.single})) return false;

    TextureRead read;
    TextureDecoder decoder;
    TextureProblem problem;
    const std::uint64_t images = all ? UINT64_MAX : static_cast<std::uint64_t>(imageIndex) + 1;
    if (!readTextureToDecode(context, texture, images, limits, read, decoder, problem)) return false;
    const TextureHeader& header = decoder.layout().header;
    const std::int64_t imageCount = header.imageCount;
    // The image asked for first, then the texture's own problems.
    if (const TextureProblem asked = imagesAsked(header, all, imageIndex)) {
        reportTextureProblem(context, shown, header, asked);
        return false;
    }
    const std::int64_t firstImage = all ? 0 : imageIndex;
    const std::int64_t endImage = all ? imageCount : imageIndex + 1;
    const std::vector<std::string> names = outputNames(target, all, firstImage, endImage);
    if (all && !fromStream && !outputsAreNotTheTexture(context, texture, names)) return false;
    // Once the texture is known to hold them.
    const bool defaultNames = !options.has(Opt::output) && !options.has(Opt::force);
    if (defaultNames && !defaultNamesAreFree(context, names)) return false;

    // Every image's layout is checked, in one walk over the file, before any
    // is decoded. Painting work is counted as each image is painted, and no
    // file replaces its old one before every image is painted and written
    // (writeImages): a fault in the last image leaves no file behind.
    if (!problem) problem = decoder.check(firstImage, endImage);
    if (problem) {
        reportTextureProblem(context, shown, header, problem);
        return false;
    }
    if (!writeImages(context, shown, decoder, target.format, smallPalette(decoder.layout()), firstImage, names)) {
        return false;
    }
    if (quiet) return true;
    // Standard output holds the image; its name is no result.
    for (const std::string& name : names) {
        if (!writesStandardOutput(context, name.c_str())) std::fprintf(context.out, "%s\n", name.c_str());
    }
    return true;
}

}  // namespace

int runDecode(const ParsedOptions& options, const Context& context) {
    const bool all = options.has(Opt::all);
    if (all && options.has(Opt::image)) return usageError(context, "decode", "--image and --all exclude each other");
    std::int64_t imageIndex = 0;
    if (options.has(Opt::image) && !parseNumber(options.value(Opt::image), 0, 65535, imageIndex)) {
        return usageError(context, "decode",
                          std::string("--image needs an image number from 0, got '") + options.value(Opt::image) + "'");
    }
    const char* folder = options.has(Opt::outputDir) ? options.value(Opt::outputDir) : nullptr;
    if (folder != nullptr && *folder == '\0') return usageError(context, "decode", "--output-dir needs a folder name");
    if (folder != nullptr && options.has(Opt::output))
        return usageError(context, "decode", "-o and --output-dir exclude each other");
    if (options.has(Opt::output) && (options.operands.size() > 1 || options.has(Opt::recursive)))
        return usageError(context, "decode", "-o names the file of one TEXTURE; for several use --output-dir");
    DecodeOptions limits;
    int status = kFailure;
    if (!decodeLimits(options, context, "decode", limits, status)) return status;

    CollectSettings collect = collectSettings(options, FileKind::texture, "decode");
    // The targets of all textures are settled (usage first) before any is read.
    std::vector<FoundFile> textures;
    for (const char* operand : options.operands) {
        DecodeTarget target;
        if (const int usage = chooseTarget(options, context, operand, operand, target); usage != kSuccess) return usage;
    }
    bool ok = collectFiles(context, options.operands, collect, textures);
    std::vector<DecodeTarget> targets(textures.size());
    std::vector<std::string> stems;
    for (std::size_t i = 0; i < textures.size(); ++i) {
        // Under --output-dir, the texture's path below its folder operand.
        const std::string base = folder == nullptr ? textures[i].path : outputPath(textures[i], folder, "") + ".qm5";
        if (const int usage = chooseTarget(options, context, textures[i].path.c_str(), base, targets[i]); usage != kSuccess)
            return usage;
        stems.push_back(all ? targets[i].stem : targets[i].single);
    }
    if (textures.size() > 1 && markSameOutputs(textures, stems) > 0) ok = false;
    if (folder != nullptr && !makeFolder(context, folder)) return kFailure;
    for (std::size_t i = 0; i < textures.size(); ++i) {
        const char* texture = textures[i].path.c_str();
        if (textures[i].clashes()) {
            fileError(context, texture, "its images would be named as those of %s; not decoded",
                      textures[textures[i].sameOutputAs].path.c_str());
            continue;
        }
        if (folder != nullptr && !makeFolder(context, folderOf(targets[i].single))) {
            ok = false;
            continue;
        }
        ok = decodeOne(options, context, texture, targets[i], limits, imageIndex) && ok;
    }
    return ok ? kSuccess : kFailure;
}

}  // namespace qm5::cli
