#include "maker/input_pictures.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "core/file_identity.hpp"
#include "core/input_stream.hpp"

namespace qm5 {

namespace {

// Opens name and takes its first bytes for classification.
PictureFormat openAndClassify(const PictureReader& reader, const char* name, InputStream& in, bool& opened) {
    opened = in.open(name) == ReadFileError::none;
    if (!opened) return FormatUnknown;
    return reader.classify(in.head(kPictureHeadBytes));
}

// The folder of a list's path ("pics/" of "pics/sky.lst"), which its
// relative names are joined to; for a link, such as /dev/stdin redirected
// from a file, the folder of the list it leads to; empty (the current
// directory) for a list that is no regular file: a pipe, a terminal.
bool listFolder(const char* path, char (&folder)[kMaxFileListName + 1]) {
    namespace fs = std::filesystem;
    folder[0] = '\0';
    std::error_code ec;
    const fs::file_status link = fs::symlink_status(path, ec);
    if (ec || !fs::is_regular_file(fs::status(path, ec)) || ec) return true;
    std::string named = path;
    if (fs::is_symlink(link)) {
        named = fs::canonical(path, ec).string();
        if (ec) return true;
    }
    std::size_t end = named.find_last_of('/');
#if defined(_WIN32)
    const std::size_t back = named.find_last_of('\\');
    if (back != std::string::npos && (end == std::string::npos || back > end)) end = back;
#endif
    if (end == std::string::npos) return true;
    if (end + 1 > kMaxFileListName) return false;
    std::memcpy(folder, named.data(), end + 1);
    folder[end + 1] = '\0';
    return true;
}

InputError failWith(InputFailure& why, InputError error, std::int32_t entry = -1) {
    why.error = error;
    why.entry = entry;
    return error;
}

// Bytes read at once beyond those a measure asks for, within what it allows.
constexpr std::uint64_t kReadAhead = std::uint64_t{1} << 16;

// A picture's bytes as readPicture() takes them from its input.
struct PictureBytes {
    HeapArray<std::uint8_t> bytes;       // what was read
    std::span<const std::uint8_t> file;  // the picture's part of it
    bool overLimit = false;              // its headers announce more pixels than the limit
    bool cut = false;                    // the input goes on past the bound of its run-length data
};

// The picture of `in` read no further than its headers say it reaches
// (picture/picture_reader.hpp), its sides checked against the limit before
// its data are read.
PictureError readPicture(const PictureReader& reader, InputStream& in, PictureFormat format, std::uint64_t maxPixels,
                         PictureBytes& out, InputFailure& why) {
    const auto asked = [&](std::uint64_t n) {
        return in.head(static_cast<std::size_t>(std::min<std::uint64_t>(n, kMaxPictureFileBytes + 1)));
    };
    PictureExtent extent;
    std::span<const std::uint8_t> have = asked(kPictureHeadBytes);
    while (!in.failed()) {
        reader.measure(have, format, extent);
        if (extent.sized && static_cast<std::uint64_t>(extent.width) * static_cast<std::uint64_t>(extent.height) >
                                maxPixels) {
            why.width = extent.width;
            why.height = extent.height;
            out.overLimit = true;
            return PictureError::tooLarge;
        }
        // Done, or the file ends inside its headers (the reader says where).
        if (extent.done || extent.need <= have.size() || in.ended()) break;
        have = asked(std::max(extent.need, std::min(extent.end, have.size() + kReadAhead)));
    }
    const std::uint64_t end = extent.done ? extent.end : have.size();
    // One byte past a bound tells whether the data go on.
    if (have.size() <= end) have = asked(extent.kind == PictureEnd::exact ? end : end + 1);
    if (in.failed()) return PictureError::cannotOpen;
    // Larger than any picture's file: reading stops there.
    if (have.size() > kMaxPictureFileBytes) return PictureError::tooLarge;
    const bool goesOn = have.size() > end;
    if (goesOn && extent.kind == PictureEnd::fileEnd) {
        why.detail.set("goes on past where its headers say the picture ends, so the palette at its end cannot be found");
        return PictureError::overlong;
    }
    out.cut = goesOn && extent.kind == PictureEnd::bound;
    if (!in.take(out.bytes)) return PictureError::outOfMemory;
    out.file = out.bytes.span().first(static_cast<std::size_t>(std::min<std::uint64_t>(end, out.bytes.size())));
    return PictureError::none;
}

// Opens the input and fills files: the input itself when its bytes are a
// picture (single), otherwise the list they hold.
InputError loadFiles(Console& console, const PictureReader& reader, const char* path, FileList& files,
                     InputStream& input, PictureFormat& inputFormat, InputFailure& why, const InputOptions& options) {
    // By content, not by extension: a recognised picture is a single entry.
    // The path is opened once; its bytes are the picture or the list.
    bool opened = true;
    if (options.stream != nullptr) {
        input.openStream(options.stream);
        inputFormat = reader.classify(input.head(kPictureHeadBytes));
    } else {
        inputFormat = openAndClassify(reader, path, input, opened);
    }
    if (inputFormat != FormatUnknown) {
        // A file-list entry holds at most kMaxFileListName characters.
        if (std::strlen(path) > kMaxFileListName) return failWith(why, InputError::pathTooLong);
        console.print("Single image ...\n");
        if (files.add(path, 0) < 0) return failWith(why, InputError::outOfMemory);
        return InputError::none;
    }
    console.print("Loading filelist ...\n");
    bool loaded = false;
    char folder[kMaxFileListName + 1] = "";
    if (!opened) {
        why.listError = FileListError::cannotOpen;
    } else if (!options.namedLists) {
        loaded = files.load(input, &why.listError);
    } else if (options.stream == nullptr && !listFolder(path, folder)) {
        return failWith(why, InputError::pathTooLong);
    } else {
        // A regular file is read to its end, so that entries past the count are told.
        std::error_code ec;
        const bool regular = options.stream == nullptr && std::filesystem::is_regular_file(path, ec);
        loaded = files.loadNamed(input, folder, &why.listError, regular);
    }
    if (!loaded) {
        why.systemError = input.error();
        why.opened = opened;
        return failWith(why, why.listError == FileListError::outOfMemory ? InputError::outOfMemory
                                                                          : InputError::listUnreadable);
    }
    if (files.count() == 0) return failWith(why, InputError::listEmpty);
    return InputError::none;
}

// Reads entry i of files into pictures[i], from input when it is the single
// picture already open, and checks it against the list's first picture.
InputError loadEntry(PictureReader& reader, const FileList& files, std::int32_t i, InputStream& input,
                     PictureFormat inputFormat, std::uint64_t maxPixels, Picture* pictures, InputFailure& why) {
    const bool single = inputFormat != FormatUnknown;
    const std::int32_t count = files.count();
    Picture& picture = pictures[static_cast<std::size_t>(i)];
    InputStream entry;
    InputStream& in = single ? input : entry;
    bool opened = true;
    why.format = single ? inputFormat : openAndClassify(reader, files.at(i)->name, entry, opened);
    if (why.format == FormatUnknown) {
        why.pictureError = opened && !entry.failed() ? PictureError::notPicture : PictureError::cannotOpen;
        why.systemError = entry.error();
        why.opened = opened;
        return failWith(why, InputError::entryUnknown, i);
    }
    PictureBytes read;
    why.pictureError = readPicture(reader, in, why.format, maxPixels, read, why);
    if (read.overLimit) {
        why.maxPixels = maxPixels;
        return failWith(why, InputError::overPixelLimit, i);
    }
    if (why.pictureError == PictureError::none) {
        why.pictureError = reader.read(read.file, why.format, picture, &why.detail);
        // Data that need more than their bound, and have it: they do not end.
        if (why.pictureError == PictureError::truncated && read.cut) why.pictureError = PictureError::overlong;
    }
    if (why.pictureError != PictureError::none) {
        why.systemError = in.error();
        why.opened = true;
        return failWith(why, InputError::entryFailed, i);
    }
    // The first picture tells what the list needs: refused at once when
    // all of them could not be held.
    const std::uint64_t pixels = picture.pixels.size();
    if (i == 0 && count > 1 && pixels > 0 && static_cast<std::uint64_t>(count) > kMaxInputPixels / pixels) {
        why.width = picture.width;
        why.height = picture.height;
        return failWith(why, InputError::listTooLarge, 0);
    }
    // Each against its predecessor: all end up the size of the first.
    const Picture& previous = pictures[static_cast<std::size_t>(i > 0 ? i - 1 : 0)];
    if (picture.width != previous.width || picture.height != previous.height) {
        why.width = picture.width;
        why.height = picture.height;
        why.previousWidth = previous.width;
        why.previousHeight = previous.height;
        return failWith(why, InputError::sizeMismatch, i);
    }
    return InputError::none;
}

}  // namespace

InputError loadInputPictures(Console& console, PictureReader& reader, const char* path, FileList& files,
                             InputPictures& out, InputFailure* failure, const InputOptions& options) {
    out.clear();
    files.clear();
    InputFailure scratch;
    InputFailure& why = failure != nullptr ? *failure : scratch;
    why = InputFailure{};

    // No input is ever overwritten: checked before it is even opened.
    const FileIdentity written = options.output != nullptr ? fileIdentity(options.output) : FileIdentity{};
    if (options.stream == nullptr && written.sameAs(fileIdentity(path))) return failWith(why, InputError::sameAsOutput);

    Progress* const progress = options.progress;
    if (progress != nullptr) progress->begin(Stage::reading);
    InputStream input;
    PictureFormat inputFormat = FormatUnknown;
    if (const InputError e = loadFiles(console, reader, path, files, input, inputFormat, why, options);
        e != InputError::none) {
        return e;
    }

    const std::int32_t count = files.count();
    if (written.known) {
        for (std::int32_t i = 0; i < count; ++i) {
            if (written.sameAs(fileIdentity(files.at(i)->name))) return failWith(why, InputError::sameAsOutput, i);
        }
    }
    console.print("Locking memory for images (%d)..\n", count);
    std::unique_ptr<Picture[]> pictures(new (std::nothrow) Picture[static_cast<std::size_t>(count)]);
    if (!pictures) return failWith(why, InputError::outOfMemory);

    console.print("Loading picture #%d ..", 0);
    for (std::int32_t i = 0; i < count; ++i) {
        console.print("\rLoading picture #%d ..", i);
        if (progress != nullptr) progress->advance(static_cast<std::uint64_t>(i), static_cast<std::uint64_t>(count));
        if (const InputError e = loadEntry(reader, files, i, input, inputFormat, options.maxPixels, pictures.get(), why);
            e != InputError::none) {
            return e;
        }
    }
    console.print("\rLoading picture #%d ..\n", count - 1);
    if (progress != nullptr) progress->advance(static_cast<std::uint64_t>(count), static_cast<std::uint64_t>(count));
    if (pictures[0].width <= 0 || pictures[0].height <= 0) {
        why.width = pictures[0].width;
        why.height = pictures[0].height;
        return failWith(why, InputError::emptyPicture, 0);
    }

    out.single = inputFormat != FormatUnknown;
    out.count = count;
    out.pictures = std::move(pictures);
    return InputError::none;
}

}  // namespace qm5
