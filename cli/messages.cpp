#include "cli/messages.hpp"

#include <cinttypes>
#include <cstdarg>
#include <cstring>

#include "cli/progress_line.hpp"
#include "formats/picture_formats.hpp"

namespace qm5::cli {

void fileError(const Context& context, const char* file, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string reason(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(reason.data(), reason.size() + 1, format, again);
    va_end(again);
    const std::string text = "qm5: " + std::string(file) + ": " + reason + "\n";
    if (context.progress != nullptr) {
        context.progress->message(text);
    } else {
        std::fputs(text.c_str(), context.err);
        std::fflush(context.err);
    }
}

std::string systemReason(std::error_code error) {
    return error ? " (" + error.message() + ")" : std::string();
}

int usageError(const Context& context, const char* command, const std::string& what) {
    if (command != nullptr) {
        std::fprintf(context.err, "qm5 %s: %s\nTry 'qm5 %s --help'.\n", command, what.c_str(), command);
    } else {
        std::fprintf(context.err, "qm5: %s\nTry 'qm5 --help'.\n", what.c_str());
    }
    std::fflush(context.err);
    return kUsage;
}

std::string unreadable(bool opened, std::error_code error) {
    return std::string(opened ? "cannot be read" : "cannot be opened") + systemReason(error);
}

namespace {

// "not a picture qm5 reads (BMP, PCX, PNG, TGA)"
void notPicture(const Context& context, const char* name, const char* where) {
    fileError(context, name, "not a picture qm5 reads (%s)%s", FormatsPictureReader::formatNames(), where);
}

void pictureRefused(const Context& context, const char* name, const InputFailure& failure, const char* where) {
    const char* detail = failure.detail.text;
    switch (failure.pictureError) {
        case PictureError::cannotOpen:
            fileError(context, name, "%s%s", unreadable(failure.opened, failure.systemError).c_str(), where);
            return;
        case PictureError::unsupported:
            if (failure.format == FormatGif) {
                fileError(context, name, "a GIF picture, which qm5 does not read (it reads %s)%s",
                          FormatsPictureReader::formatNames(), where);
            } else if (*detail != '\0') {
                fileError(context, name, "%s is not read%s", detail, where);
            } else {
                fileError(context, name, "%s%s", describe(failure.pictureError), where);
            }
            return;
        case PictureError::transparent:
            fileError(context, name,
                      "has pixels that are not fully opaque, and a texture holds opaque colours; "
                      "--ignore-alpha drops the alpha channel%s", where);
            return;
        default:
            fileError(context, name, "%s%s", *detail != '\0' ? detail : describe(failure.pictureError), where);
            return;
    }
}

// Why input, neither a picture nor a list qm5 could read, was refused.
void reportListFailure(const Context& context, const char* input, const FileList& files, const InputFailure& failure) {
    const int line = static_cast<int>(files.errorLine());
    switch (failure.listError) {
        case FileListError::noCountLine:
        case FileListError::notList: notPicture(context, input, ""); return;
        case FileListError::countMissing:
            fileError(context, input, "a list file starts with the number of pictures");
            return;
        case FileListError::nameTooLong:
            fileError(context, input, "line %d: the name is longer than %zu characters (with the list's folder)", line,
                      kMaxFileListName);
            return;
        case FileListError::controlCharacter:
            fileError(context, input, "line %d holds a control character, which no picture name has", line);
            return;
        case FileListError::none:
        case FileListError::cannotOpen:
        case FileListError::outOfMemory: break;
    }
    fileError(context, input, "%s", unreadable(failure.opened, failure.systemError).c_str());
}

}  // namespace

void reportInputFailure(const Context& context, const char* input, const FileList& files,
                        const InputFailure& failure) {
    const FileListEntry* entry = failure.entry >= 0 ? files.at(failure.entry) : nullptr;
    const char* name = entry != nullptr ? entry->name : input;
    // A picture of a list is named with the list's folder; the list is said too.
    char where[320] = "";
    if (entry != nullptr && files.count() > 1) {
        std::snprintf(where, sizeof where, " (entry %d of %s)", static_cast<int>(failure.entry), input);
    } else if (entry != nullptr && std::strcmp(name, input) != 0) {
        std::snprintf(where, sizeof where, " (listed in %s)", input);
    }
    switch (failure.error) {
        case InputError::none: break;
        case InputError::pathTooLong:
            fileError(context, input, "the path is longer than %zu characters", kMaxFileListName);
            break;
        case InputError::listUnreadable: reportListFailure(context, input, files, failure); break;
        case InputError::listEmpty:
            if (files.countGiven()) fileError(context, input, "the list names no pictures");
            else notPicture(context, input, "");
            break;
        case InputError::outOfMemory: fileError(context, input, "not enough memory"); break;
        case InputError::entryUnknown:
            if (failure.pictureError == PictureError::cannotOpen) {
                fileError(context, name, "%s%s", unreadable(failure.opened, failure.systemError).c_str(), where);
            } else {
                notPicture(context, name, where);
            }
            break;
        case InputError::entryFailed: pictureRefused(context, name, failure, where); break;
        case InputError::sizeMismatch: {
            const FileListEntry* previous = files.at(failure.entry - 1);
            fileError(context, name, "%d x %d pixels, but %s is %d x %d; the pictures of a list must be the same size%s",
                      static_cast<int>(failure.width), static_cast<int>(failure.height),
                      previous != nullptr ? previous->name : "the picture before it",
                      static_cast<int>(failure.previousWidth), static_cast<int>(failure.previousHeight), where);
            break;
        }
        case InputError::emptyPicture:
            fileError(context, name, "the picture is %d x %d pixels and holds none%s", static_cast<int>(failure.width),
                      static_cast<int>(failure.height), where);
            break;
        case InputError::sameAsOutput:
            fileError(context, name, "is the output file too, and an input is never overwritten%s", where);
            break;
        case InputError::overPixelLimit:
            fileError(context, name, "%d x %d pixels exceed the limit of %" PRIu64 " (use --max-pixels)%s",
                      static_cast<int>(failure.width), static_cast<int>(failure.height), failure.maxPixels, where);
            break;
        case InputError::listTooLarge: {
            const std::uint64_t mebibytes =
                static_cast<std::uint64_t>(files.count()) * static_cast<std::uint64_t>(failure.width) *
                static_cast<std::uint64_t>(failure.height) * 4 >> 20;
            fileError(context, input,
                      "%d pictures of %d x %d need %" PRIu64 " MiB of memory, more than the limit of %" PRIu64 " MiB",
                      static_cast<int>(files.count()), static_cast<int>(failure.width),
                      static_cast<int>(failure.height), mebibytes, kMaxInputPixels * 4 >> 20);
            break;
        }
    }
}

void warnListCount(const Context& context, const char* list, const FileList& files) {
    const std::int64_t named = std::int64_t{files.count()} + files.following();
    if (!files.countGiven() || named == files.announced()) return;
    const int read = static_cast<int>(files.count());
    const std::string which = read == 1 ? (files.following() > 0 ? "the first is" : "that one is")
                                        : (files.following() > 0 ? "the first " : "those ") + std::to_string(read) + " are";
    fileError(context, list, "its count line says %d picture%s, but it names %lld; %s read, as qm5_maker reads it",
              static_cast<int>(files.announced()), files.announced() == 1 ? "" : "s", static_cast<long long>(named),
              which.c_str());
}

void reportTextureProblem(const Context& context, const char* path, const TextureHeader& header,
                          const TextureProblem& problem) {
    const char* hint = problem.kind == TextureProblemKind::tooLarge      ? " (use --max-pixels)"
                       : problem.kind == TextureProblemKind::tooMuchWork ? " (use --no-limits)"
                                                                         : "";
    fileError(context, path, "%s%s", describeProblem(header, problem).text, hint);
}

}  // namespace qm5::cli
