#include "maker/file_list.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "core/file_names.hpp"

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

// The qm5 command's rules.

// Longest line read whole: room for a name of kMaxFileListName characters,
// blanks and a number. A longer line holds a name too long.
constexpr std::size_t kLineLength = 1024;

enum class LineResult { line, end, failed, tooLong };

// Reads one line without its line end (LF, CR LF or CR) into buffer, which
// may then hold NUL bytes: length counts them.
LineResult readLine(CharSource& file, char (&buffer)[kLineLength + 1], std::size_t& length) {
    length = 0;
    bool any = false;
    for (int c = file.get(); c >= 0; c = file.get()) {
        any = true;
        if (c == '\n') break;
        if (c == '\r') {
            const int next = file.get();
            if (next >= 0 && next != '\n') file.unget(next);
            break;
        }
        if (length == kLineLength) return LineResult::tooLong;
        buffer[length++] = static_cast<char>(c);
    }
    buffer[length] = '\0';
    if (file.failed()) return LineResult::failed;
    return any ? LineResult::line : LineResult::end;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool holdsControl(std::string_view line) {
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && !isBlank(c)) || u == 0x7F) return true;
    }
    return false;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// A whole number alone, with an optional sign.
bool wholeNumber(std::string_view text, std::int32_t& value) {
    char digits[kLineLength + 1];
    std::memcpy(digits, text.data(), text.size());
    digits[text.size()] = '\0';
    const char* p = digits;
    bool hasDigits = false;
    value = readInteger(p, hasDigits);
    return hasDigits && p == digits + text.size();
}

// An entry line split into its name and its trailing number: blanks, then
// an optional sign and digits at the end. Without one the whole line is the
// name and the number 0.
struct EntryLine {
    std::string_view name;
    std::int32_t value = 0;
    bool numbered = false;
};

EntryLine splitEntry(std::string_view line) {
    line = trim(line);
    std::size_t number = line.size();
    while (number > 0 && isDigit(line[number - 1])) --number;
    const bool digits = number < line.size();
    if (digits && number > 0 && (line[number - 1] == '+' || line[number - 1] == '-')) --number;
    const std::string_view name = trim(line.substr(0, number));
    if (!digits || number == 0 || !isBlank(line[number - 1]) || name.empty()) return {line, 0, false};
    EntryLine entry{name, 0, true};
    wholeNumber(line.substr(number), entry.value);
    return entry;
}

// A first line that is no count but reads as an entry: a name with its
// number, or a name with an extension of one to four letters or digits
// ("sky0.bmp"). Prose and binary data do not.
bool looksLikeEntry(std::string_view line) {
    if (holdsControl(line)) return false;
    const EntryLine entry = splitEntry(line);
    if (entry.numbered) return true;
    const std::size_t stem = stemLength(entry.name);
    const std::string_view extension = entry.name.substr(std::min(stem + 1, entry.name.size()));
    if (stem == entry.name.size() || extension.empty() || extension.size() > 4) return false;
    for (const char c : extension) {
        if (!isDigit(c) && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) return false;
    }
    return true;
}

bool isAbsolute(std::string_view name) {
#if defined(_WIN32)
    if (name.size() >= 2 && name[1] == ':') return true;
    if (!name.empty() && name[0] == '\\') return true;
#endif
    return !name.empty() && name[0] == '/';
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
    announced_ = 0;
    following_ = 0;
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
    errorLine_ = 0;
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

namespace qm5 {

bool FileList::loadNamed(InputStream& in, const char* directory, FileListError* reason, bool readOn) {
    FileListError dummy = FileListError::none;
    FileListError& why = reason != nullptr ? *reason : dummy;
    why = FileListError::none;
    clear();
    errorLine_ = 0;
    const auto fail = [&](FileListError error, std::int32_t line) {
        clear();
        why = error;
        errorLine_ = line;
        return false;
    };
    const std::string_view folder = directory != nullptr ? directory : "";

    // A byte-order mark, as some editors write at the start of UTF-8 text.
    constexpr std::uint8_t kMark[] = {0xEF, 0xBB, 0xBF};
    const std::span<const std::uint8_t> head = in.head(sizeof kMark);
    if (head.size() == sizeof kMark && std::memcmp(head.data(), kMark, sizeof kMark) == 0) {
        for (std::size_t i = 0; i < sizeof kMark; ++i) (void)in.next();
    }
    CharSource file(in);
    char line[kLineLength + 1];
    std::size_t length = 0;
    switch (readLine(file, line, length)) {
        case LineResult::line: break;
        case LineResult::end: return fail(FileListError::noCountLine, 0);
        case LineResult::failed: return fail(FileListError::cannotOpen, 0);
        case LineResult::tooLong: return fail(FileListError::notList, 1);
    }
    std::int32_t remaining = 0;
    const std::string_view first(line, length);
    if (holdsControl(first) || !wholeNumber(trim(first), remaining)) {
        return fail(looksLikeEntry(first) ? FileListError::countMissing : FileListError::notList, 1);
    }
    countGiven_ = true;
    announced_ = remaining;
    following_ = 0;

    for (std::int32_t number = 2; remaining > 0; ++number) {
        switch (readLine(file, line, length)) {
            case LineResult::line: break;
            case LineResult::end: return true;  // ended early: keep what was read
            case LineResult::failed: return fail(FileListError::cannotOpen, number);
            case LineResult::tooLong: return fail(FileListError::nameTooLong, number);
        }
        const std::string_view text(line, length);
        if (holdsControl(text)) return fail(FileListError::controlCharacter, number);
        const EntryLine entry = splitEntry(text);
        if (entry.name.empty()) continue;  // blank line: no entry, not counted
        const std::string_view prefix = isAbsolute(entry.name) ? std::string_view() : folder;
        if (prefix.size() + entry.name.size() > kMaxFileListName) return fail(FileListError::nameTooLong, number);
        char name[kMaxFileListName + 1];
        if (!prefix.empty()) std::memcpy(name, prefix.data(), prefix.size());
        std::memcpy(name + prefix.size(), entry.name.data(), entry.name.size());
        name[prefix.size() + entry.name.size()] = '\0';
        if (add(name, entry.value) < 0) return fail(FileListError::outOfMemory, number);
        --remaining;
    }
    // What follows the announced entries is not read, only counted.
    while (readOn && readLine(file, line, length) == LineResult::line) {
        if (!splitEntry(std::string_view(line, length)).name.empty()) ++following_;
    }
    return true;
}

}  // namespace qm5
