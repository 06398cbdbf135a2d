#include "cli/streams.hpp"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <set>

#include "cli/messages.hpp"
#include "core/file_identity.hpp"
#include "core/input_stream.hpp"

namespace qm5::cli {

const char* inputName(const char* operand) { return isStandardStream(operand) ? "standard input" : operand; }

const char* outputName(const char* operand) { return isStandardStream(operand) ? "standard output" : operand; }

bool writesStandardOutput(const Context& context, const char* name) {
    if (isStandardStream(name)) return true;
    const FileIdentity named = fileIdentity(name);
    return named.known && named.sameAs(fileIdentity(context.out));
}

InputOptions inputOptions(const Context& context, const char* operand) {
    InputOptions options;
    options.namedLists = true;
    if (isStandardStream(operand)) options.stream = context.in;
    return options;
}

namespace {

// The bytes into a completed file for name (AtomicOutputFile::complete);
// false after the message.
bool completeOutput(const Context& context, AtomicOutputFile& file, const char* name,
                    std::span<const std::uint8_t> bytes, bool durable) {
    const bool toStream = writesStandardOutput(context, name);
    if (toStream) {
        file.openStream(context.out);
    } else if (!file.open(name)) {
        fileError(context, name, "cannot be created%s", systemReason(file.error()).c_str());
        return false;
    }
    if (file.write(bytes.data(), bytes.size()) && file.complete(durable)) return true;
    if (toStream) {
        reportStandardOutputFailure(context, file.error());
    } else {
        fileError(context, name, "cannot be written%s", systemReason(file.error()).c_str());
    }
    return false;
}

bool publishOutput(const Context& context, AtomicOutputFile& file, const char* name, bool durableFolder) {
    if (file.publish(durableFolder)) return true;
    fileError(context, name, "cannot be written%s", systemReason(file.error()).c_str());
    return false;
}

}  // namespace

bool writeOutputFile(const Context& context, const char* name, std::span<const std::uint8_t> bytes) {
    AtomicOutputFile file;
    return completeOutput(context, file, name, bytes, true) && publishOutput(context, file, name, true);
}

bool OutputGroup::add(const char* name, std::span<const std::uint8_t> bytes) {
    const std::size_t k = added_++;
    names_[k] = name;
    return completeOutput(context_, files_[k], name, bytes, !batched_);
}

bool OutputGroup::publish() {
    std::set<std::string> folders;
    for (std::size_t k = 0; k < added_; ++k) {
        folders.insert(std::filesystem::path(files_[k].destination()).parent_path().string());
    }
    if (batched_) {
        for (const std::string& folder : folders) {
            if (const std::error_code error = AtomicOutputFile::syncFileSystemOf(folder)) {
                fileError(context_, names_[0].c_str(), "cannot be written%s", systemReason(error).c_str());
                return false;
            }
        }
    }
    for (std::size_t k = 0; k < added_; ++k) {
        if (!publishOutput(context_, files_[k], names_[k].c_str(), false)) return false;
    }
    // Each folder's entries reach the disk once, after all its renames.
    for (const std::string& folder : folders) AtomicOutputFile::syncFolder(folder);
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

void reportStandardOutputFailure(const Context& context, std::error_code why) {
    static std::atomic<bool> reported{false};
    if (reported.exchange(true)) return;
    fileError(context, "standard output", "cannot be written%s", systemReason(why).c_str());
}

bool finishStandardOutput(const Context& context) {
    errno = 0;
    if (std::fflush(context.out) == 0 && std::ferror(context.out) == 0) return true;
    const int error = errno;
    reportStandardOutputFailure(context,
                                error != 0 ? std::error_code(error, std::generic_category()) : std::error_code());
    return false;
}

}  // namespace qm5::cli
