#include "core/file_io.hpp"

namespace qm5 {

ReadFileError readWholeFile(const char* path, HeapArray<std::uint8_t>& out, std::uint64_t maxBytes) {
    out.reset();
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return ReadFileError::cannotOpen;
    // Grow geometrically while reading: works for any file, needs no
    // platform-specific size query and never trusts a size it has not read.
    HeapArray<std::uint8_t> buffer;
    std::uint64_t used = 0;
    std::uint64_t capacity = 0;
    ReadFileError result = ReadFileError::none;
    for (;;) {
        if (used == capacity) {
            std::uint64_t next = capacity == 0 ? 65536 : capacity * 2;
            if (capacity >= maxBytes) {
                // One more byte would pass the bound: look for it.
                int c = std::fgetc(f);
                if (c != EOF) result = ReadFileError::tooLarge;
                break;
            }
            if (next > maxBytes) next = maxBytes;
            if (!buffer.resize(next)) {
                result = ReadFileError::outOfMemory;
                break;
            }
            capacity = next;
        }
        std::size_t got = std::fread(buffer.data() + used, 1, static_cast<std::size_t>(capacity - used), f);
        used += got;
        if (got == 0 || used < capacity) {
            if (std::ferror(f)) result = ReadFileError::cannotOpen;
            if (std::feof(f) || std::ferror(f)) break;
        }
    }
    std::fclose(f);
    if (result != ReadFileError::none) return result;
    if (!buffer.resize(used)) return ReadFileError::outOfMemory;
    out = std::move(buffer);
    return ReadFileError::none;
}

}  // namespace qm5
