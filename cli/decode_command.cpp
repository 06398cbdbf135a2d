// qm5 decode: images of a texture as 24-bit BMP or PNG files.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/messages.hpp"
#include "cli/streams.hpp"
#include "core/byte_reader.hpp"
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

// The file's bytes in the format asked for; false when memory ran out.
bool encodeImage(OutputFormat format, const Picture& picture, std::span<const std::uint32_t> palette,
                 HeapArray<std::uint8_t>& out) {
    return format == OutputFormat::png ? encodePng(picture, palette, out) : PictureLoader::encodeBmp24(picture, out);
}

}  // namespace

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
    const char* extension = format == OutputFormat::png ? ".png" : ".bmp";
    const bool quiet = options.has(Opt::quiet);

    HeapArray<std::uint8_t> bytes;
    if (!readInputFile(context, texture, bytes)) return kFailure;
    TextureHeader header;
    if (!readTextureHeader(context, texture, bytes.span(), header)) return kFailure;
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
    }

    const std::int64_t firstImage = all ? 0 : imageIndex;
    const std::int64_t endImage = all ? imageCount : imageIndex + 1;
    for (std::int64_t i = firstImage; i < endImage; ++i) {
        Picture picture;
        TextureFault fault;
        const TextureError error = decodeTextureImage(bytes.span(), i, picture, DecodeOptions{}, &fault);
        if (error != TextureError::none) {
            reportTextureFailure(context, texture, bytes.span(), error, fault);
            return kFailure;
        }
        const std::string name = all ? stem + "-" + std::to_string(i) + extension : single;
        HeapArray<std::uint8_t> encoded;
        if (!encodeImage(format, picture, smallPalette(bytes.span(), header), encoded)) {
            fileError(context, name.c_str(), "not enough memory to encode the image");
            return kFailure;
        }
        if (!writeOutputFile(context, name.c_str(), encoded.span())) return kFailure;
        if (!quiet) std::fprintf(context.out, "%s\n", name.c_str());
    }
    return kSuccess;
}

}  // namespace qm5::cli
