#include "cli/messages.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>

#include "cli/progress_line.hpp"
#include "cli/streams.hpp"
#include "core/file_io.hpp"
#include "formats/picture_formats.hpp"
#include "texture/texture_info.hpp"

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

std::string unreadableReason(const char* path) {
    errno = 0;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        const int e = errno;
        return e != 0 ? std::string("cannot be opened (") + std::strerror(e) + ")" : "cannot be opened";
    }
    errno = 0;
    (void)std::fgetc(f);
    const int e = errno;
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed && e != 0) return std::string("cannot be read (") + std::strerror(e) + ")";
    return "cannot be read";
}

bool readTextureInput(const Context& context, const char* path, const TextureReadRequest& request, TextureRead& out) {
    TextureReadRequest from = request;
    if (isStandardStream(path)) from.stream = context.in;
    const char* name = inputName(path);
    switch (readTextureFile(path, from, out)) {
        case ReadFileError::none: return true;
        case ReadFileError::outOfMemory: fileError(context, name, "not enough memory to read it"); break;
        default:
            fileError(context, name, "%s%s", out.opened ? "cannot be read" : "cannot be opened",
                      systemReason(out.error).c_str());
            break;
    }
    return false;
}

bool readTextureToDecode(const Context& context, const char* path, std::uint64_t images, const DecodeOptions& limits,
                         TextureRead& out, TextureHeader& header) {
    TextureReadRequest request;
    request.images = images;
    request.maxPixels = limits.maxPixels;
    return readTextureInput(context, path, request, out) &&
           readTextureHeader(context, inputName(path), out.bytes.span(), header);
}

bool readTextureHeader(const Context& context, const char* path, std::span<const std::uint8_t> file,
                       TextureHeader& header) {
    const LayoutCheck check = checkTextureLayout(file);
    switch (check.error()) {
        case LayoutError::headerCut: fileError(context, path, "the file ends inside the 20-byte header"); return false;
        case LayoutError::badMagic:
        case LayoutError::badVersion: fileError(context, path, "not a Qm5 texture of version 100"); return false;
        // The decoder reports the faults after the first 20 bytes, where it finds them.
        case LayoutError::none:
        case LayoutError::negativeField:
        case LayoutError::emptyField:
        case LayoutError::paletteCut: break;
    }
    header = check.layout.header;
    return true;
}

namespace {

// "not a picture qm5 reads (BMP, PCX, PNG, TGA)"
void notPicture(const Context& context, const char* name, const char* where) {
    fileError(context, name, "not a picture qm5 reads (%s)%s", FormatsPictureReader::formatNames(), where);
}

void pictureRefused(const Context& context, const char* name, const InputFailure& failure, const char* where) {
    const char* detail = failure.detail.text;
    switch (failure.pictureError) {
        case PictureError::cannotOpen: fileError(context, name, "%s%s", unreadableReason(name).c_str(), where); return;
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
void reportListFailure(const Context& context, const char* input, const FileList& files, FileListError error) {
    const int line = static_cast<int>(files.errorLine());
    switch (error) {
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
    fileError(context, input, "%s", unreadableReason(input).c_str());
}

// A header whose colour count, width or height is negative or 0.
void reportMalformedHeader(const Context& context, const char* path, std::span<const std::uint8_t> file,
                           const TextureFault& fault) {
    const LayoutCheck check = checkTextureLayout(file);
    const TextureHeader& h = check.layout.header;
    const bool colours = fault.offset == kColourCountOffset;
    const std::int32_t value = colours ? h.signedColourCount()
                               : fault.offset == kWidthOffset ? h.signedWidth()
                                                              : h.signedHeight();
    const char* field = colours ? "colour count" : fault.offset == kWidthOffset ? "width" : "height";
    if (value < 0) {
        fileError(context, path, "the %s %d is negative", field, static_cast<int>(value));
    } else {
        fileError(context, path, "the %s is 0: %s", field,
                  colours ? "a texture needs at least one colour" : "the picture holds no pixels");
    }
}

}  // namespace

void reportInputFailure(const Context& context, const char* input, const FileList& files,
                        const InputFailure& failure, bool fromStream) {
    const FileListEntry* entry = failure.entry >= 0 ? files.at(failure.entry) : nullptr;
    const char* name = entry != nullptr ? entry->name : input;
    // A stream cannot be opened again to ask why it could not be read.
    const bool streamUnread =
        (failure.error == InputError::listUnreadable && failure.listError == FileListError::cannotOpen) ||
        (failure.error == InputError::entryFailed && failure.pictureError == PictureError::cannotOpen &&
         std::strcmp(name, input) == 0);
    if (fromStream && streamUnread) {
        fileError(context, input, "cannot be read%s", systemReason(failure.systemError).c_str());
        return;
    }
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
        case InputError::listUnreadable: reportListFailure(context, input, files, failure.listError); break;
        case InputError::listEmpty:
            if (files.countGiven()) fileError(context, input, "the list names no pictures");
            else notPicture(context, input, "");
            break;
        case InputError::outOfMemory: fileError(context, input, "not enough memory"); break;
        case InputError::entryUnknown:
            if (failure.pictureError == PictureError::cannotOpen) {
                fileError(context, name, "%s%s", unreadableReason(name).c_str(), where);
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

void reportTextureFailure(const Context& context, const char* path, std::span<const std::uint8_t> file,
                          TextureError error, const TextureFault& fault, const DecodeOptions& options) {
    switch (error) {
        case TextureError::none: break;
        case TextureError::cannotOpen: fileError(context, path, "%s", unreadableReason(path).c_str()); break;
        case TextureError::notTexture: fileError(context, path, "not a Qm5 texture of version 100"); break;
        case TextureError::truncated: {
            // The decoder may refuse an image as too short before reading
            // its records; the inspection finds the item that runs past the end.
            TextureInfo info;
            if (inspectTexture(file, info)) {
                for (const TextureProblem& problem : info.kept()) {
                    switch (problem.kind) {
                        case TextureProblemKind::truncatedHeader:
                        case TextureProblemKind::paletteTruncated:
                        case TextureProblemKind::imageTruncated:
                        case TextureProblemKind::recordTruncated: {
                            char text[256];
                            fileError(context, path, "%s", describeProblem(info, problem, text, sizeof text));
                            return;
                        }
                        default: break;
                    }
                }
            }
            if (fault.record >= 0) {
                fileError(context, path, "record %" PRId64 " of image %" PRId64 " runs past the end of the file",
                          fault.record, fault.image);
            } else if (fault.image >= 0) {
                fileError(context, path, "image %" PRId64 " runs past the end of the file", fault.image);
            } else if (fault.offset == 0) {
                fileError(context, path, "the file ends inside the 20-byte header");
            } else {
                fileError(context, path, "the palette runs past the end of the file");
            }
            break;
        }
        case TextureError::malformed:
            if (fault.record >= 0) {
                // The decoder refuses a general record whose b is 0 or above
                // 30; the head's third byte is b.
                const int b = fault.offset + 2 < file.size() ? file[fault.offset + 2] : -1;
                fileError(context, path, "record %" PRId64 " of image %" PRId64 " has b = %d, which no picture has",
                          fault.record, fault.image, b);
            } else if (fault.image >= 0) {
                fileError(context, path, "image %" PRId64 " holds an index outside the palette at offset %" PRIu64,
                          fault.image, fault.offset);
            } else {
                reportMalformedHeader(context, path, file, fault);
            }
            break;
        case TextureError::tooLarge: {
            const LayoutCheck check = checkTextureLayout(file);
            fileError(context, path, "%d x %d pixels exceed the limit of %" PRIu64 " (use --max-pixels)",
                      static_cast<int>(check.layout.header.signedWidth()),
                      static_cast<int>(check.layout.header.signedHeight()), options.maxPixels);
            break;
        }
        case TextureError::tooMuchWork:
            fileError(context, path,
                      "image %" PRId64 " takes more than %" PRIu64 " painting steps per pixel, the limit (use --no-limits)",
                      fault.image, options.maxPaintWork);
            break;
        case TextureError::outOfMemory: fileError(context, path, "not enough memory to decode"); break;
    }
}

}  // namespace qm5::cli
