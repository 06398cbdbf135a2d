#include "cli/streams.hpp"

#include "cli/messages.hpp"
#include "core/file_io.hpp"
#include "core/input_stream.hpp"

namespace qm5::cli {

const char* inputName(const char* operand) { return isStandardStream(operand) ? "standard input" : operand; }

const char* outputName(const char* operand) { return isStandardStream(operand) ? "standard output" : operand; }

InputOptions inputOptions(const Context& context, const char* operand) {
    InputOptions options;
    options.namedLists = true;
    if (isStandardStream(operand)) options.stream = context.in;
    return options;
}

bool writeOutputFile(const Context& context, const char* name, std::span<const std::uint8_t> bytes) {
    AtomicOutputFile file;
    if (isStandardStream(name)) {
        file.openStream(context.out);
    } else if (!file.open(name)) {
        fileError(context, name, "cannot be created%s", systemReason(file.error()).c_str());
        return false;
    }
    if (!file.write(bytes.data(), bytes.size()) || !file.commit()) {
        fileError(context, outputName(name), "cannot be written%s", systemReason(file.error()).c_str());
        return false;
    }
    return true;
}

bool readTextureInput(const Context& context, const char* path, const TextureReadRequest& request, TextureRead& out) {
    TextureReadRequest from = request;
    if (isStandardStream(path)) from.stream = context.in;
    const char* name = inputName(path);
    switch (readTextureFile(path, from, out)) {
        case ReadFileError::none: return true;
        case ReadFileError::outOfMemory: fileError(context, name, "not enough memory to read it"); break;
        default:
            fileError(context, name, "%s", unreadable(out.opened, out.error).c_str());
            break;
    }
    return false;
}

bool readTextureToDecode(const Context& context, const char* path, std::uint64_t images, const DecodeOptions& limits,
                         TextureRead& out, TextureDecoder& decoder, TextureProblem& problem) {
    TextureReadRequest request;
    request.images = images;
    request.maxPixels = limits.maxPixels;
    if (!readTextureInput(context, path, request, out)) return false;
    problem = decoder.open(out.bytes.span(), limits);
    switch (problem.kind) {
        case TextureProblemKind::truncatedHeader:
        case TextureProblemKind::badMagic:
        case TextureProblemKind::badVersion:
            reportTextureProblem(context, inputName(path), decoder.layout().header, problem);
            return false;
        default: return true;
    }
}

}  // namespace qm5::cli
