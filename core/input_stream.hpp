#pragma once
// InputStream: a named input opened once and read once, from its start, in
// the order it is needed: its first bytes to tell what it is, then either
// all of it at once (a picture) or character by character (a list, which
// may stop long before the end). Pipes, FIFOs and process substitution can
// be read only once, so nothing here opens a name twice or seeks.

#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>

#include "core/file_io.hpp"
#include "core/heap_array.hpp"

namespace qm5 {

class InputStream {
public:
    InputStream() = default;
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    ~InputStream();

    // cannotOpen when the name cannot be opened for reading (error() says
    // why). exact: the system is asked for no byte beyond those head()
    // and readAll() want (no read-ahead buffer), so that a reader can bound
    // what it takes from a pipe or an endless device.
    ReadFileError open(const char* path, bool exact = false);
    // Reads a stream already open, as standard input, in binary mode (exact
    // as for open); it stays open when this input is done with it.
    void openStream(std::FILE* stream, bool exact = false);
    // The first min(n, input size) bytes, read as far as needed. Empty when
    // the input is not open or a read failed (see failed()).
    std::span<const std::uint8_t> head(std::size_t n);
    // The next character after those taken so far (the head's bytes first),
    // or -1 at the end of the input or after a failed read.
    int next();
    // The whole input from its start into out (the head's bytes included);
    // tooLarge when it holds more than maxBytes. Not after next().
    ReadFileError readAll(HeapArray<std::uint8_t>& out, std::uint64_t maxBytes = UINT64_MAX);
    // The bytes read so far (those head() has seen), moved into out; the
    // stream reads nothing more. False when memory ran out.
    bool take(HeapArray<std::uint8_t>& out);
    // The input's end was reached (or a read failed).
    bool ended() const { return ended_; }
    // A read failed (an unreadable file, a directory, an I/O error).
    bool failed() const { return failed_; }
    // Why opening or reading failed, as the system says it; empty when the
    // system gave no reason.
    std::error_code error() const { return error_ != 0 ? std::error_code(error_, std::generic_category()) : std::error_code(); }
    // The size of a regular file, without reading it; false for pipes,
    // devices and anything else whose size is known only by reading it.
    bool regularFileSize(std::uint64_t& size) const;

private:
    // Reads until the buffer holds at least want bytes or the input ends;
    // false on allocation failure.
    bool fill(std::uint64_t want);

    std::FILE* file_ = nullptr;
    bool owned_ = false;  // opened here, closed here
    HeapArray<std::uint8_t> buffer_;  // capacity; the first used_ bytes are read
    std::uint64_t used_ = 0;
    std::uint64_t taken_ = 0;  // bytes handed out by next()
    bool ended_ = false;
    bool failed_ = false;
    int error_ = 0;
};

}  // namespace qm5
