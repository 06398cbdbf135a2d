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

struct PendingSlot;  // core/pending_files.hpp

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
// installOutputSignalHandlers() has run, removes its temporary file. The
// data reach the disk before the rename, and the folder entry after it
// (fsync, where the system has it), so that a power failure leaves the old
// file or the new one, never an empty one.
//
// The temporary name is short (".qm5-PID-N.tmp"), so that any destination
// name the file system allows can be written. A destination that is a
// symbolic link is written through: the file it leads to is replaced, in
// that file's directory, and the link stays. A replaced file keeps its
// permission bits. A destination that exists and is no regular file (a
// device such as /dev/null, a FIFO, a terminal) cannot be replaced: it is
// opened and written directly, without a temporary.
class AtomicOutputFile final : public OutputSink {
public:
    AtomicOutputFile() = default;
    AtomicOutputFile(const AtomicOutputFile&) = delete;
    AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;
    ~AtomicOutputFile() override;

    // Fails when the destination cannot be written: a directory of that
    // name, a write-protected existing file, a loop of symbolic links, or
    // an unwritable directory.
    bool open(const char* destination);
    // Writes to a stream instead, as standard output, in binary mode: the
    // bytes are kept in memory and handed to it by commit(), so that a
    // failed run writes nothing there either.
    void openStream(std::FILE* stream);
    bool write(const void* data, std::size_t size) override;
    // complete() then publish(): false (and the temporary removed) when any
    // write failed, the data could not be made durable or the rename failed.
    bool commit() override;
    // Flushes the data to the disk (unless durable is false) and closes
    // the temporary, which stays under its temporary name (still removed by
    // discard() or a signal); the destination is untouched. Files that must
    // appear together are each completed first, then each published. A
    // direct or stream output is written out here.
    bool complete(bool durable = true);
    // Renames the completed temporary over the destination and makes the
    // folder entry durable (unless durableFolder is false); true at once
    // for a direct or stream output.
    bool publish(bool durableFolder = true);
    // The file renamed over, symbolic links resolved; set by open().
    const std::string& destination() const { return destination_; }

    // For a group of files: whether the system can put all the data of a
    // file system on the disk at once (Linux's syncfs), so that the files
    // can be completed with durable false and their file systems synced
    // with syncFileSystemOf() before they are published: one wait for the
    // disk instead of one per file.
    static bool syncsFileSystems();
    static std::error_code syncFileSystemOf(const std::string& folder);
    // Puts the entries of folder on the disk ("" is the current folder).
    static void syncFolder(const std::string& folder);
    // Closes and removes the temporary file; the destination is untouched.
    void discard() override;
    // Why the first open, write or commit failed, as the system says it
    // ("No such file or directory", "No space left on device"); empty when
    // nothing failed or no reason is known.
    std::error_code error() const { return error_ != 0 ? std::error_code(error_, std::generic_category()) : std::error_code(); }

private:
    void fail(int error);
    bool openTemporary(const std::string& target, bool replacing, unsigned permissions);
    bool completeStream();

    std::FILE* file_ = nullptr;
    std::FILE* stream_ = nullptr;  // openStream: the stream, and the bytes for it
    HeapArray<std::uint8_t> held_;
    std::uint64_t heldSize_ = 0;
    std::string destination_;  // the file renamed over: links resolved
    std::string temporary_;    // empty for a direct output
    PendingSlot* slot_ = nullptr;  // the temporary's entry for the signal handler
    int error_ = 0;
    bool good_ = false;
    bool completed_ = false;
};

// Installs the handlers that let a program's outputs stay whole when it is
// stopped: SIGINT, SIGTERM and SIGHUP remove every temporary file being
// written, then end the program as the signal would have (a signal the
// program was started with ignored stays ignored); SIGXFSZ is ignored, so
// that a write past the file size limit fails as a write and is reported.
// For programs, once at their start; a library never changes signals.
void installOutputSignalHandlers();

// Makes sure descriptors 0, 1 and 2 are open, so that no file the program
// opens later takes one of their numbers (a texture would then receive the
// console's lines). A closed one gets /dev/null, opened so that reading
// standard input or writing standard output and error still fails as on a
// closed descriptor (EBADF). For programs, first thing in main(); false
// when /dev/null cannot be opened, and the program should then stop.
bool ensureStandardDescriptors();

}  // namespace qm5
