#pragma once
// Whole-file reading with a size bound, and output files that appear under
// their final name only once complete.

#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>

#include "core/heap_array.hpp"
#include "core/output_sink.hpp"

namespace qm5 {

enum class ReadFileError {
    none,
    cannotOpen,   // the file cannot be opened or read
    tooLarge,     // the file holds more than the caller's bound
    outOfMemory,
};

// Reads the whole file into out. Files larger than maxBytes give tooLarge;
// a file that cannot be opened or read gives cannotOpen.
ReadFileError readWholeFile(const char* path, HeapArray<std::uint8_t>& out, std::uint64_t maxBytes = UINT64_MAX);

// An output file written under a temporary name in the destination's
// directory and renamed over the destination by commit(). Until commit()
// succeeds an existing destination is untouched; a file that is destroyed
// without commit(), or a program ended by SIGINT, SIGTERM or SIGHUP once
// installOutputSignalHandlers() has run, removes its temporary file.
//
// The temporary name is short (".qm5-PID-N.tmp"), so that any destination
// name the file system allows can be written. A destination that is a
// symbolic link is written through: the file it leads to is replaced, in
// that file's directory, and the link stays. A replaced file keeps its
// permission bits.
class AtomicOutputFile final : public OutputSink {
public:
    AtomicOutputFile() = default;
    AtomicOutputFile(const AtomicOutputFile&) = delete;
    AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;
    ~AtomicOutputFile() override;

    // Fails when the destination cannot be written: a directory or other
    // non-regular file of that name, a write-protected existing file, a
    // loop of symbolic links, or an unwritable directory.
    bool open(const char* destination);
    // Writes to a stream instead, as standard output, in binary mode: the
    // bytes are kept in memory and handed to it by commit(), so that a
    // failed run writes nothing there either.
    void openStream(std::FILE* stream);
    bool write(const void* data, std::size_t size) override;
    // Flushes, closes and renames over the destination; false (and the
    // temporary removed) when any write failed or the rename fails.
    bool commit() override;
    // Closes and removes the temporary file; the destination is untouched.
    void discard() override;
    // Why the first open, write or commit failed, as the system says it
    // ("No such file or directory", "No space left on device"); empty when
    // nothing failed or no reason is known.
    std::error_code error() const { return error_ != 0 ? std::error_code(error_, std::generic_category()) : std::error_code(); }

private:
    void fail(int error);
    bool commitStream();

    std::FILE* file_ = nullptr;
    std::FILE* stream_ = nullptr;  // openStream: the stream, and the bytes for it
    HeapArray<std::uint8_t> held_;
    std::uint64_t heldSize_ = 0;
    std::string destination_;  // the file renamed over: links resolved
    std::string temporary_;
    int slot_ = -1;  // the temporary's entry for the signal handler
    int error_ = 0;
    bool good_ = false;
};

// Installs the handlers that let a program's outputs stay whole when it is
// stopped: SIGINT, SIGTERM and SIGHUP remove every temporary file being
// written, then end the program as the signal would have (a signal the
// program was started with ignored stays ignored); SIGXFSZ is ignored, so
// that a write past the file size limit fails as a write and is reported.
// For programs, once at their start; a library never changes signals.
void installOutputSignalHandlers();

}  // namespace qm5
