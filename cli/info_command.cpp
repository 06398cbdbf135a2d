// qm5 info: the header and images of a texture, and every problem in it.
#include <cinttypes>
#include <utility>
#include <vector>

#include "cli/collection.hpp"
#include "cli/commands.hpp"
#include "cli/json_writer.hpp"
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

// One image of the JSON form.
void jsonImage(JsonWriter& json, const ImageSummary& image, bool compressed) {
    json.beginObject();
    json.key("encoding");
    json.string(compressed ? "compressed" : "plain");
    json.key("offset");
    json.unsignedNumber(image.offset);
    json.key("bytes");
    json.unsignedNumber(image.bytes);
    json.key("complete");
    json.boolean(image.complete);
    if (compressed) {
        const std::pair<const char*, std::uint64_t> counts[] = {{"empty_records", image.emptyRecords},
                                                                {"whole_records", image.wholeRecords},
                                                                {"general_records", image.generalRecords},
                                                                {"cubes", image.cubes}};
        for (const auto& [name, value] : counts) {
            json.key(name);
            json.unsignedNumber(value);
        }
    }
    json.endObject();
}

// The same as one JSON object on one line.
void printJson(std::FILE* out, const char* texture, const TextureInfo& info) {
    JsonWriter json;
    json.beginObject();
    json.key("file");
    json.string(texture);
    json.key("file_size");
    json.unsignedNumber(info.fileSize);
    json.key("file_size_known");
    json.boolean(info.sizeKnown);
    const bool header = info.headerRead && info.header().hasMagic();
    if (header) {
        const TextureHeader& h = info.header();
        const struct {
            const char* name;
            std::int64_t value;
        } fields[] = {{"version", h.version},          {"width", h.signedWidth()},
                      {"height", h.signedHeight()},    {"colours", h.signedColourCount()},
                      {"mipmap_levels", h.mipmapCount}, {"image_count", h.imageCount},
                      {"compression", h.compression}};
        for (const auto& field : fields) {
            json.key(field.name);
            json.number(field.value);
        }
    }
    if (info.layoutKnown) {
        json.key("position_bits");
        json.number(info.layout.positionBits);
        json.key("palette_offset");
        json.unsignedNumber(info.layout.paletteOffset);
    }
    json.key("images");
    json.beginArray();
    for (std::size_t i = 0; i < info.imagesReached; ++i) jsonImage(json, info.images[i], info.header().isCompressed());
    json.endArray();
    json.key("problems");
    json.beginArray();
    for (const TextureProblem& problem : info.kept()) {
        json.beginObject();
        json.key("text");
        json.string(describeProblem(info.header(), problem).text);
        // Its place: the image (none: the header or palette), the record, the byte.
        json.key("image");
        if (problem.image < 0) json.null(); else json.number(problem.image);
        json.key("record");
        if (problem.record < 0) json.null(); else json.number(problem.record);
        json.key("offset");
        json.unsignedNumber(problem.offset);
        json.endObject();
    }
    json.endArray();
    json.key("problem_count");
    json.unsignedNumber(info.problemCount);
    json.key("valid");
    json.boolean(info.valid());
    json.endObject();
    std::fprintf(out, "%s\n", json.text().c_str());
}

// The text form of one texture's images.
void printImages(std::FILE* out, const TextureInfo& info) {
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
}

// One texture, as text or JSON; false when it could not be read or has a problem.
bool inspectOne(const Context& context, const char* operand, bool asJson) {
    const char* texture = inputName(operand);
    // Every image, and whether anything follows the last; the inspection
    // needs no pictures, so no size limit applies.
    TextureReadRequest request;
    request.tail = true;
    TextureRead read;
    if (!readTextureInput(context, operand, request, read)) return false;
    TextureInfo info;
    if (!inspectTexture(read.bytes.span(), info, read.following, read.exact)) {
        fileError(context, texture, "not enough memory to inspect the texture");
        return false;
    }
    std::FILE* out = context.out;
    if (asJson) {
        printJson(out, texture, info);
    } else {
        printHeader(out, texture, info);
        printImages(out, info);
    }
    // The problems on the error stream in both forms: every failure is said.
    for (const TextureProblem& problem : info.kept()) reportTextureProblem(context, texture, info.header(), problem);
    if (info.problemCount > info.keptProblems) {
        fileError(context, texture, "%" PRIu64 " more problems", info.problemCount - info.keptProblems);
    }
    if (asJson) return info.valid();
    if (info.valid()) {
        std::fprintf(out, "status: valid\n");
        return true;
    }
    std::fprintf(out, "status: %" PRIu64 " problem%s\n", info.problemCount, info.problemCount == 1 ? "" : "s");
    return false;
}

}  // namespace

int runInfo(const ParsedOptions& options, const Context& context) {
    CollectSettings collect = collectSettings(options, FileKind::texture, "inspect");
    std::vector<FoundFile> textures;
    bool ok = collectFiles(context, options.operands, collect, textures);
    const bool asJson = options.has(Opt::json);
    for (std::size_t i = 0; i < textures.size(); ++i) {
        // A blank line between the texts of several textures.
        if (i > 0 && !asJson) std::fputc('\n', context.out);
        ok = inspectOne(context, textures[i].path.c_str(), asJson) && ok;
    }
    return ok ? kSuccess : kFailure;
}

}  // namespace qm5::cli
