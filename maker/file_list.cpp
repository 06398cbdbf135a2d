#include "maker/file_list.hpp"

#include <cstring>
#include <limits>
#include <utility>

namespace qm5 {

namespace {

// One read of the list file takes at most this many characters, the line
// end included.
constexpr std::size_t kPieceLength = 254;

bool isBlank(char c) {
    // The blanks of "%s" and of the text-to-integer conversion in the C locale.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The characters of a list, with one character of lookahead.
class CharSource {
public:
    explicit CharSource(InputStream& in) : in_(in) {}
    int get() {
        if (back_ != kNone) return std::exchange(back_, kNone);
        const int c = in_.next();
#if defined(_WIN32)
        // Read as text on Windows, as the format's own programs did: a
        // Ctrl-Z ends the file.
        if (c == 0x1A) {
            ended_ = true;
        }
        if (ended_) return -1;
#endif
        return c;
    }
    void unget(int c) { back_ = c; }
    bool failed() const { return in_.failed(); }

private:
    static constexpr int kNone = -2;
    InputStream& in_;
    int back_ = kNone;
#if defined(_WIN32)
    bool ended_ = false;
#endif
};

enum class PieceResult { piece, end, failed };

// Reads one piece into buffer (terminated), stopping after a line end or at
// kPieceLength characters. CR LF is taken as one line end.
PieceResult readPiece(CharSource& file, char (&buffer)[kPieceLength + 1]) {
    std::size_t length = 0;
    while (length < kPieceLength) {
        int c = file.get();
        if (c < 0) break;
        if (c == '\r') {
            const int next = file.get();
            if (next == '\n') {
                c = '\n';
            } else if (next >= 0) {
                file.unget(next);
            }
        }
        buffer[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[length] = '\0';
    if (file.failed()) return PieceResult::failed;
    return length == 0 ? PieceResult::end : PieceResult::piece;
}

// Optional sign and decimal digits at p, clamped to 32 bits; 0 when there are
// no digits. p is left after what was read.
std::int32_t readInteger(const char*& p, bool& hasDigits) {
    const char* q = p;
    bool negative = false;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    hasDigits = false;
    std::int64_t magnitude = 0;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    while (*q >= '0' && *q <= '9') {
        hasDigits = true;
        if (magnitude < kLimit) magnitude = magnitude * 10 + (*q - '0');
        ++q;
    }
    if (!hasDigits) return 0;
    p = q;
    if (magnitude > kLimit) magnitude = kLimit;
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value);
}

const char* skipBlanks(const char* p) {
    while (*p != '\0' && isBlank(*p)) ++p;
    return p;
}

}  // namespace

std::int32_t FileList::add(const char* name, std::int32_t value) {
    if (name == nullptr) return -1;
    std::size_t length = 0;
    while (length <= kMaxFileListName && name[length] != '\0') ++length;
    if (length > kMaxFileListName) return -1;
    if (count_ == std::numeric_limits<std::int32_t>::max()) return -1;
    const auto needed = static_cast<std::size_t>(count_) + 1;
    if (needed > entries_.size()) {
        // Capacity doubles; the list still appears to grow by one entry.
        const std::uint64_t capacity = entries_.size() < 4 ? 4 : std::uint64_t{entries_.size()} * 2;
        if (!entries_.resize(capacity)) return -1;
    }
    FileListEntry& entry = entries_[static_cast<std::size_t>(count_)];
    std::memcpy(entry.name, name, length);
    entry.name[length] = '\0';
    entry.value = value;
    return count_++;
}

const FileListEntry* FileList::at(std::int32_t i) const {
    if (i < 0 || i >= count_) return nullptr;
    return &entries_[static_cast<std::size_t>(i)];
}

void FileList::clear() {
    entries_.reset();
    count_ = 0;
    countGiven_ = false;
}

bool FileList::load(const char* path, FileListError* reason) {
    InputStream in;
    if (path == nullptr || in.open(path) != ReadFileError::none) {
        clear();
        if (reason != nullptr) *reason = FileListError::cannotOpen;
        return false;
    }
    return load(in, reason);
}

bool FileList::load(InputStream& in, FileListError* reason) {
    FileListError dummy = FileListError::none;
    FileListError& why = reason != nullptr ? *reason : dummy;
    why = FileListError::none;
    clear();
    CharSource file(in);

    char piece[kPieceLength + 1];
    switch (readPiece(file, piece)) {
        case PieceResult::piece: break;
        case PieceResult::end: why = FileListError::noCountLine; return false;
        case PieceResult::failed: why = FileListError::cannotOpen; return false;
    }
    bool hasDigits = false;
    const char* p = skipBlanks(piece);
    std::int32_t remaining = readInteger(p, hasDigits);
    countGiven_ = hasDigits;

    while (remaining > 0) {
        const PieceResult result = readPiece(file, piece);
        if (result == PieceResult::end) break;  // ended early: keep what was read
        if (result == PieceResult::failed) {
            clear();
            why = FileListError::cannotOpen;
            return false;
        }
        const char* nameStart = skipBlanks(piece);
        if (*nameStart == '\0') continue;  // blank piece: no entry, not counted
        const char* nameEnd = nameStart;
        while (*nameEnd != '\0' && !isBlank(*nameEnd)) ++nameEnd;
        // A piece holds at most kPieceLength characters, so every name
        // fits an entry and none is cut short.
        static_assert(kPieceLength <= kMaxFileListName);
        char name[kPieceLength + 1];
        const auto nameLength = static_cast<std::size_t>(nameEnd - nameStart);
        std::memcpy(name, nameStart, nameLength);
        name[nameLength] = '\0';
        const char* numberStart = skipBlanks(nameEnd);
        const std::int32_t value = readInteger(numberStart, hasDigits);
        if (add(name, value) < 0) {
            clear();
            why = FileListError::outOfMemory;
            return false;
        }
        --remaining;
    }
    return true;
}

}  // namespace qm5
