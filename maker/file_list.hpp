#pragma once
// FileList: the ordered input pictures of one maker run, each a path and a
// number. Filled with one entry for a picture named on the command line, or
// from a list file:
//
//   line 1      the number of entries that follow (leading blanks, optional
//               sign, digits up to the first non-digit; no digits give 0)
//   each entry  "name number": the name is the first run of non-blank
//               characters, the number an optional sign and digits; anything
//               after it is ignored
//
// The file is read in pieces of at most 254 characters, the line end
// included, so a line longer than 253 characters becomes several pieces and
// each piece is an entry line of its own. A CR LF line end counts as one
// character, as it does when such a file is read as text on the platform the
// format comes from.
//
// Where the format leaves the reader free:
// - A blank piece (nothing but blanks and the line end) is skipped and does
//   not count as one of the announced entries: the count announces pictures,
//   and a stray empty line should not cost the last one. The bare line end
//   left behind by a line of exactly 254 characters is such a piece.
// - A name without a number (or with text where the number belongs) gets the
//   value 0, the value of a picture named on the command line; no stage
//   reads the value.
// - A file that ends before the announced count keeps the entries read.
// - Numbers beyond the 32-bit range are clamped to it.
//
// The qm5 command reads lists by rules of its own (loadNamed), so that names
// may hold blanks and lists may live in any folder:
//   - a UTF-8 byte-order mark before the count line is skipped;
//   - the count line holds a whole number alone (blanks around it allowed);
//   - an entry line's trailing number (blanks, then an optional sign and
//     digits, at the end of the line) is its number and everything before
//     it, without the blanks around it, is the name; a line without one is
//     a name with the number 0. Blank lines are skipped, as above;
//   - relative names are taken from the folder given (the list's own), not
//     from the current directory;
//   - lines are read whole; a name above kMaxFileListName characters (the
//     folder included) or holding a control character stops the load.

#include <cstddef>
#include <cstdint>

#include "core/heap_array.hpp"
#include "core/input_stream.hpp"

namespace qm5 {

// Longest name an entry holds; the field is this plus the terminator.
inline constexpr std::size_t kMaxFileListName = 255;

// A plain record (no initialisers), so that arrays of it may be zero-filled.
struct FileListEntry {
    char name[kMaxFileListName + 1];
    std::int32_t value;
};

// Why load returned false.
enum class FileListError {
    none,
    cannotOpen,   // the file cannot be opened, or reading it failed
    noCountLine,  // the file is empty: not even the count line
    outOfMemory,  // an entry could not be added; the list is left empty
    // loadNamed only (errorLine() says where):
    countMissing,  // the first line is no count, but looks like an entry ("sky0.bmp 0", "sky0.bmp")
    notList,       // the first line is no count and no entry: some other file
    nameTooLong,   // a name longer than kMaxFileListName, its folder included
    controlCharacter,  // a line holds a control character (a NUL, an escape)
};

class FileList {
public:
    FileList() = default;
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;
    virtual ~FileList() = default;

    // Appends an entry; its position (count() - 1 afterwards), or -1 when the
    // name is null or longer than kMaxFileListName (it is never cut short) or
    // the list cannot grow.
    std::int32_t add(const char* name, std::int32_t value);
    // The entry at i, or nullptr when i is not a position of the list.
    const FileListEntry* at(std::int32_t i) const;
    void clear();
    // Replaces the contents with the entries of the list file at path. True
    // when the file could be opened and its count line read, also when that
    // yields no entries (a count of 0 or less, or no entry line before the
    // end): the caller decides whether an empty list is an error. On false
    // the list is empty and reason (when given) says why.
    bool load(const char* path, FileListError* reason = nullptr);
    // The same from an input already opened (and perhaps looked at: the
    // list starts with the stream's first byte). Reads no further than the
    // announced entries need.
    bool load(InputStream& in, FileListError* reason = nullptr);
    // The same by the qm5 command's rules (above); directory is joined
    // before every relative name ("pics/", or "" for the current directory).
    // With readOn, the file is read to its end after the announced entries,
    // and the entry lines found there are counted (following()); for a
    // regular file only, as a stream may never end.
    bool loadNamed(InputStream& in, const char* directory, FileListError* reason = nullptr, bool readOn = false);
    // The line of the file where the last load failed (from 1); 0 for none.
    std::int32_t errorLine() const { return errorLine_; }
    std::int32_t count() const { return count_; }
    // The count line of the last load held digits (a list of no entries
    // said so, rather than being some other file).
    bool countGiven() const { return countGiven_; }
    // The number the count line of the last load announced, and the entry
    // lines after the announced ones (loadNamed with readOn).
    std::int32_t announced() const { return announced_; }
    std::int32_t following() const { return following_; }

private:
    HeapArray<FileListEntry> entries_;  // capacity; the first count_ are used
    std::int32_t count_ = 0;
    bool countGiven_ = false;
    std::int32_t announced_ = 0;
    std::int32_t following_ = 0;
    std::int32_t errorLine_ = 0;
};

}  // namespace qm5
