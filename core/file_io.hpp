#pragma once
// Whole-file reading with a size bound, and output files that appear under
// their final name only once complete.

#include <cstdint>
#include <cstdio>
#include <string>

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
// without commit() removes its temporary file.
class AtomicOutputFile final : public OutputSink {
public:
    AtomicOutputFile() = default;
    AtomicOutputFile(const AtomicOutputFile&) = delete;
    AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;
    ~AtomicOutputFile() override;

    // Fails when the destination cannot be written: a directory of that
    // name, a write-protected existing file, or an unwritable directory.
    bool open(const char* destination);
    bool write(const void* data, std::size_t size) override;
    // Flushes, closes and renames over the destination; false (and the
    // temporary removed) when any write failed or the rename fails.
    bool commit() override;
    // Closes and removes the temporary file; the destination is untouched.
    void discard() override;

private:
    std::FILE* file_ = nullptr;
    std::string destination_;
    std::string temporary_;
    bool good_ = false;
};

}  // namespace qm5
