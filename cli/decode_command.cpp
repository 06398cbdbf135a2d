// qm5 decode: images of a texture as 24-bit BMP or PNG files.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/messages.hpp"
#include "core/byte_reader.hpp"
#include "core/file_identity.hpp"
#include "core/file_io.hpp"
#include "formats/png_codec.hpp"
#include "picture/picture_loader.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5::cli {

namespace {

// The length of name without its extension: the part from the last '.' of
// the last path component on, when there is one.
std::size_t stemLength(const std::string& name) {
    const std::size_t slash = name.find_last_of("/\\");
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name.size();
    // ".hidden" keeps its name.
    if (dot == 0 || (slash != std::string::npos && dot == slash + 1)) return name.size();
    return dot;
}

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
// palettised), else empty. The decoder has checked that it is in the file.
std::vector<std::uint32_t> smallPalette(std::span<const std::uint8_t> file, const TextureHeader& header) {
    std::vector<std::uint32_t> palette;
    const std::int32_t count = header.signedColourCount();
    if (count <= 0 || count > 256) return palette;
    ByteReader in(file);
    in.seek(kTextureHeaderSize);
    for (std::int32_t k = 0; k < count; ++k) {
        const auto colour = in.readU32();
        if (!colour) return {};
        palette.push_back(*colour);
    }
    return palette;
}

// Writes the picture as name in the format asked for; false after a message.
bool writePicture(const Context& context, const std::string& name, OutputFormat format, const Picture& picture,
                  std::span<const std::uint32_t> palette) {
    HeapArray<std::uint8_t> bytes;
    const bool encoded =
        format == OutputFormat::png ? encodePng(picture, palette, bytes) : PictureLoader::encodeBmp24(picture, bytes);
    if (!encoded) {
        fileError(context, name.c_str(), "not enough memory to write the picture");
        return false;
    }
    AtomicOutputFile file;
    if (file.open(name.c_str()) && file.write(bytes.data(), bytes.size()) && file.commit()) return true;
    if (file.systemError() != 0) {
        fileError(context, name.c_str(), "cannot be written (%s)", std::strerror(file.systemError()));
    } else {
        fileError(context, name.c_str(), "cannot be written");
    }
    return false;
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

int runDecode(const ParsedOptions& options, const Context& context) {
    const char* texture = options.operands[0];
    const bool all = options.has(Opt::all);
    if (all && options.has(Opt::image)) return usageError(context, "decode", "--image and --all exclude each other");
    std::int64_t imageIndex = 0;
    if (options.has(Opt::image) && !parseNumber(options.value(Opt::image), 0, 65535, imageIndex)) {
        return usageError(context, "decode",
                          std::string("--image needs an image number from 0, got '") + options.value(Opt::image) + "'");
    }
    if (options.has(Opt::output) && *options.value(Opt::output) == '\0')
        return usageError(context, "decode", "--output needs a file name");
    const std::string given = options.has(Opt::output) ? options.value(Opt::output) : "";
    // The extension of --output chooses the format (none: BMP); nothing but
    // BMP data goes into a .bmp file and nothing but PNG into a .png one.
    const OutputFormat format = outputFormatOf(given, stemLength(given));
    if (format == OutputFormat::other) {
        return usageError(context, "decode", "--output must name a .bmp or .png file, got '" + given + "'");
    }
    if (format == OutputFormat::png && !pngSupported()) {
        return usageError(context, "decode", "this qm5 was built without libspng and writes no PNG");
    }
    DecodeOptions limits;
    int status = kFailure;
    if (!decodeLimits(options, context, "decode", limits, status)) return status;
    const char* extension = format == OutputFormat::png ? ".png" : ".bmp";
    const bool quiet = options.has(Opt::quiet);

    std::string stem;
    if (all) {
        stem = given.empty() ? std::string(texture) : given;
        stem.resize(stemLength(stem));
    }
    std::string single;
    if (!all) {
        if (!given.empty()) {
            single = given;
        } else {
            single = texture;
            single.resize(stemLength(single));
            single += ".bmp";
        }
        if (!outputsAreNotTheTexture(context, texture, {single})) return kFailure;
    }

    TextureRead read;
    TextureHeader header;
    const std::uint64_t images = all ? UINT64_MAX : static_cast<std::uint64_t>(imageIndex) + 1;
    if (!readTextureToDecode(context, texture, images, limits, read, header)) return kFailure;
    const std::span<const std::uint8_t> bytes = read.bytes.span();
    const std::int64_t imageCount = header.imageCount;
    if (all && imageCount == 0) {
        fileError(context, texture, "holds no images");
        return kFailure;
    }
    if (!all && imageIndex >= imageCount) {
        fileError(context, texture, "has no image %" PRId64 "; it holds %" PRId64 " image%s", imageIndex, imageCount,
                  imageCount == 1 ? "" : "s");
        return kFailure;
    }
    const std::int64_t firstImage = all ? 0 : imageIndex;
    const std::int64_t endImage = all ? imageCount : imageIndex + 1;
    std::vector<std::string> names;
    for (std::int64_t i = firstImage; i < endImage; ++i) {
        names.push_back(all ? stem + "-" + std::to_string(i) + extension : single);
    }
    if (all && !outputsAreNotTheTexture(context, texture, names)) return kFailure;

    // Every image is checked, in one walk over the file, before the first
    // file is written: a fault in the last image leaves no file behind.
    TextureDecoder decoder;
    TextureFault fault;
    const TextureError error = decoder.check(bytes, firstImage, endImage, limits, &fault);
    if (error != TextureError::none) {
        reportTextureFailure(context, texture, bytes, error, fault, limits);
        return kFailure;
    }
    const std::vector<std::uint32_t> palette = format == OutputFormat::png ? smallPalette(bytes, header)
                                                                           : std::vector<std::uint32_t>{};
    for (std::int64_t i = firstImage; i < endImage; ++i) {
        Picture picture;
        if (decoder.decode(i, picture) != TextureError::none) {
            fileError(context, texture, "not enough memory to decode image %" PRId64, i);
            return kFailure;
        }
        const std::string& name = names[static_cast<std::size_t>(i - firstImage)];
        if (!writePicture(context, name, format, picture, palette)) return kFailure;
        if (!quiet) std::fprintf(context.out, "%s\n", name.c_str());
    }
    return kSuccess;
}

}  // namespace qm5::cli
