#pragma once
// Console: where the maker's lines go. Output is byte-for-byte what the
// stages format; flushing is the only thing left to this class. Progress
// lines that rewrite themselves are flushed about ten times a second so a
// terminal shows them move, and before every wait for a key.

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "core/printf_format.hpp"

namespace qm5 {

class Console {
public:
    explicit Console(std::FILE* out = stdout, std::FILE* in = stdin) : out_(out), in_(in) {}

    QM5_PRINTF_FORMAT(2, 3)
    void print(const char* format, ...) {
        if (out_ == nullptr) return;
        std::va_list args;
        va_start(args, format);
        std::vfprintf(out_, format, args);
        va_end(args);
        flushSometimes();
    }

    // Reads one character from the input and discards it; returns at once
    // at the end of the input.
    void waitKey() {
        flush();
        if (in_ != nullptr) (void)std::fgetc(in_);
    }

    void flush() {
        if (out_ != nullptr) std::fflush(out_);
        lastFlush_ = Clock::now();
    }

    std::FILE* out() const { return out_; }

private:
    using Clock = std::chrono::steady_clock;
    void flushSometimes() {
        const auto now = Clock::now();
        if (now - lastFlush_ >= std::chrono::milliseconds(100)) {
            std::fflush(out_);
            lastFlush_ = now;
        }
    }

    std::FILE* out_;
    std::FILE* in_;
    Clock::time_point lastFlush_ = Clock::now();
};

}  // namespace qm5
