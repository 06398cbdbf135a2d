#pragma once
// Whole-file reading with a size bound, and output files that appear under
// their final name only once complete.

#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>

#include "core/heap_array.hpp"

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
// without commit() removes its temporary file.
class AtomicOutputFile {
public:
    AtomicOutputFile() = default;
    AtomicOutputFile(const AtomicOutputFile&) = delete;
    AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;
    ~AtomicOutputFile();

    // Fails when the destination cannot be written: a directory of that
    // name, a write-protected existing file, or an unwritable directory.
    bool open(const char* destination);
    // Writes to a stream instead, as standard output, in binary mode: the
    // bytes are kept in memory and handed to it by commit(), so that a
    // failed run writes nothing there either.
    void openStream(std::FILE* stream);
    bool write(const void* data, std::size_t size);
    bool writeByte(std::uint8_t byte) { return write(&byte, 1); }
    // Flushes, closes and renames over the destination; false (and the
    // temporary removed) when any write failed or the rename fails.
    bool commit();
    // Closes and removes the temporary file; the destination is untouched.
    void discard();
    // Why the last open, write or commit failed, as the system says it
    // ("No such file or directory", "No space left on device"); empty when
    // it did not.
    std::error_code error() const { return error_; }

private:
    void fail();  // a write, flush or close failed: errno says why
    bool commitStream();

    std::FILE* file_ = nullptr;
    std::FILE* stream_ = nullptr;  // openStream: the stream, and the bytes for it
    HeapArray<std::uint8_t> held_;
    std::uint64_t heldSize_ = 0;
    std::string destination_;
    std::string temporary_;
    bool good_ = false;
    std::error_code error_;
};

}  // namespace qm5
