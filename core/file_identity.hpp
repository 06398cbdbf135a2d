#pragma once
// Whether two names reach the same file: the same device and inode on POSIX
// systems, the same volume serial number and file index on Windows, through
// any path, hard link or symbolic link. Writers compare their outputs with
// their inputs by it, so that no input is ever overwritten.

#include <cstdint>
#include <cstdio>

namespace qm5 {

struct FileIdentity {
    bool known = false;  // false: the name reaches no file (or it cannot be examined)
    std::uint64_t device = 0;
    std::uint64_t index = 0;

    // Two unknown identities are never the same file.
    bool sameAs(const FileIdentity& other) const {
        return known && other.known && device == other.device && index == other.index;
    }
};

// The identity of the file the path reaches, symbolic links followed.
FileIdentity fileIdentity(const char* path);
// The identity of the file, pipe or device an open stream writes or reads
// (unknown for a stream without one, such as a closed standard output).
FileIdentity fileIdentity(std::FILE* stream);

// True when both names reach one existing file.
bool isSameFile(const char* a, const char* b);

}  // namespace qm5
