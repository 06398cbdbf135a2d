#pragma once
// A Console whose output goes to a temporary file and whose input is empty,
// so that a stage's console bytes can be compared and every wait for a key
// returns at once.

#include <cstdio>
#include <string>

#include "maker/console.hpp"

namespace qm5::test {

class CapturedConsole {
public:
    CapturedConsole() : out_(std::tmpfile()), in_(std::tmpfile()), console_(out_, in_) {}
    ~CapturedConsole() {
        if (out_ != nullptr) std::fclose(out_);
        if (in_ != nullptr) std::fclose(in_);
    }
    CapturedConsole(const CapturedConsole&) = delete;
    CapturedConsole& operator=(const CapturedConsole&) = delete;

    Console& console() { return console_; }
    // A minimiser's message sink that prints on this console.
    auto sink() {
        return [this](const char* message) { console_.print("%s", message); };
    }

    // Everything printed so far.
    std::string text() {
        std::string s;
        if (out_ == nullptr) return s;
        std::fflush(out_);
        std::fseek(out_, 0, SEEK_SET);
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, out_)) > 0) s.append(buffer, n);
        std::fseek(out_, 0, SEEK_END);
        return s;
    }

private:
    std::FILE* out_;
    std::FILE* in_;
    Console console_;
};

// Printable form of console bytes for failure messages.
inline std::string visible(const std::string& s) {
    std::string v;
    for (const char c : s) {
        if (c == '\r') v += "\\r";
        else if (c == '\n') v += "\\n";
        else v += c;
    }
    return v;
}

}  // namespace qm5::test
