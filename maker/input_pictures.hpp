#pragma once
// The input of one conversion: the pictures a path names, loaded in list
// order. The path is classified by its content (a picture the reader
// recognises is a single picture; anything else is read as a list file),
// every listed picture is read, and all must have the size of the first.
// This is the maker's sequence up to the palette stage, shared by every
// driver so that they read the same pictures the same way. Every input is
// opened and read once, so pipes and FIFOs work wherever a name is taken.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <system_error>

#include "maker/console.hpp"
#include "maker/file_list.hpp"
#include "maker/progress.hpp"
#include "picture/picture.hpp"
#include "picture/picture_reader.hpp"

namespace qm5 {

enum class InputError {
    none,
    pathTooLong,     // the path names a picture but passes kMaxFileListName characters
    listUnreadable,  // the path is no picture and could not be read as a list (listError says why)
    listEmpty,       // the path was read as a list file that names no pictures
    outOfMemory,     // the file list or the picture array could not grow
    entryUnknown,    // entry `entry` is no format the reader recognises, or cannot be opened
    entryFailed,     // the reader refused entry `entry`; pictureError says why
    sizeMismatch,    // entry `entry` differs in width or height from entry `entry - 1`
    emptyPicture,    // the pictures are 0 pixels wide or high
    sameAsOutput,    // the path (entry -1) or entry `entry` is the file the caller writes
    listTooLarge,    // count pictures of width x height pass kMaxInputPixels
    overPixelLimit,  // entry `entry` is width x height pixels, more than InputOptions::maxPixels
};

// Pixels the pictures of one run may hold together: 4 GiB as 32-bit
// pixels, as many as the largest single picture (32767 x 32767) has. A
// list beyond it is refused after its first picture, before the others
// are read.
inline constexpr std::uint64_t kMaxInputPixels = std::uint64_t{1} << 30;

struct InputFailure {
    InputError error = InputError::none;
    std::int32_t entry = -1;  // file-list position of the failing picture, -1 for none
    PictureFormat format = FormatUnknown;  // of that picture
    PictureError pictureError = PictureError::none;  // entryFailed; cannotOpen for an entryUnknown not opened
    PictureDetail detail;                            // entryFailed: what the reader adds
    FileListError listError = FileListError::none;
    std::error_code systemError;  // why the input or entry could not be opened or read, when the system said
    bool opened = false;          // the input or entry that failed was opened: reading it failed
    // sizeMismatch: the entry's size and that of the entry before it;
    // emptyPicture, listTooLarge, overPixelLimit: the size of the pictures.
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t previousWidth = 0;
    std::int32_t previousHeight = 0;
    std::uint64_t maxPixels = 0;  // overPixelLimit: the limit
};

struct InputPictures {
    bool single = false;  // the path named one picture rather than a list
    std::int32_t count = 0;
    std::unique_ptr<Picture[]> pictures;

    std::span<Picture> all() { return {pictures.get(), static_cast<std::size_t>(count)}; }
    std::span<const Picture> all() const { return {pictures.get(), static_cast<std::size_t>(count)}; }
    void clear() {
        pictures.reset();
        count = 0;
        single = false;
    }
};

// How the qm5 command reads its inputs, where it differs from the maker.
struct InputOptions {
    // Lists by the qm5 command's rules (FileList::loadNamed): names relative
    // to the list's folder when the list is a regular file, else (a pipe,
    // process substitution) to the current directory.
    bool namedLists = false;
    // Read this stream (standard input) instead of opening the path, which
    // then only names it; a list read from it names pictures relative to
    // the current directory.
    std::FILE* stream = nullptr;
    // Told of the reading stage, picture by picture.
    Progress* progress = nullptr;
    // The file the caller will write, or nullptr: the path and every listed
    // picture are compared with it (the same file through any name or link)
    // before any picture is read.
    const char* output = nullptr;
    // Pixels a picture may have: one whose headers announce more is
    // refused before its data are read or its pixels allocated.
    std::uint64_t maxPixels = UINT64_MAX;
};

// Fills files (cleared first) and out with the pictures of path, printing
// the maker's lines on the way:
//   "Single image ...\n" or "Loading filelist ...\n",
//   "Locking memory for images (%d)..\n" with the entry count,
//   "Loading picture #%d .." with 0, "\rLoading picture #%d .." for each entry i,
//   "\rLoading picture #%d ..\n" with count - 1 once all are read.
// Prints no error line: on failure the progress line stays open, as the
// maker's report follows it directly, and the caller says what went wrong.
// out is empty on failure.
InputError loadInputPictures(Console& console, PictureReader& reader, const char* path, FileList& files,
                             InputPictures& out, InputFailure* failure = nullptr, const InputOptions& options = {});

}  // namespace qm5
