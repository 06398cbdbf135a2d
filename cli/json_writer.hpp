#pragma once
// A JSON text built as it is written, for qm5 info --json: objects, arrays,
// strings, whole numbers and booleans, with nothing between the tokens, so
// that one object is one line (JSON Lines). Strings are escaped as RFC 8259
// asks; a byte that is not part of well-formed UTF-8 (a file name in another
// encoding) becomes U+FFFD, so that the text is always valid JSON.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm5::cli {

class JsonWriter {
public:
    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    // The name of the next member of the object being written.
    void key(std::string_view name);
    void string(std::string_view text);
    void number(std::int64_t value);
    void unsignedNumber(std::uint64_t value);
    void boolean(bool value);
    void null();

    const std::string& text() const { return text_; }

private:
    void open(char bracket);
    void close(char bracket);
    void separate();  // the comma before a value, when one precedes it

    std::string text_;
    std::vector<bool> empty_;  // per open object or array: nothing in it yet
    bool afterKey_ = false;
};

// text as a JSON string, quotes included.
std::string jsonQuoted(std::string_view text);

}  // namespace qm5::cli
