#include "core/file_io.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

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

AtomicOutputFile::~AtomicOutputFile() { discard(); }

void AtomicOutputFile::fail() {
    // The first failure is the reason; a later one follows from it.
    if (good_ && errno != 0) error_ = std::error_code(errno, std::generic_category());
    good_ = false;
}

bool AtomicOutputFile::open(const char* destination) {
    discard();
    error_.clear();
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path dest(destination);
    fs::file_status st = fs::status(dest, ec);
    if (!ec && fs::exists(st)) {
        if (!fs::is_regular_file(st)) {
            error_ = std::make_error_code(fs::is_directory(st) ? std::errc::is_a_directory
                                                                : std::errc::operation_not_permitted);
            return false;
        }
        // A read-only file is refused even where the user could override
        // the protection (as an administrator can).
        if ((st.permissions() & fs::perms::owner_write) == fs::perms::none) {
            error_ = std::make_error_code(std::errc::permission_denied);
            return false;
        }
    }
    static std::atomic<unsigned> counter{0};
    const auto stamp = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 16; ++attempt) {
        temporary_ = std::string(destination) + "." + std::to_string(stamp % 1000000007ULL) + "-" +
                     std::to_string(counter.fetch_add(1)) + ".tmp";
        if (fs::exists(fs::path(temporary_), ec)) continue;
        errno = 0;
        file_ = std::fopen(temporary_.c_str(), "wb");
        if (file_ == nullptr) error_ = std::error_code(errno, std::generic_category());
        break;
    }
    if (file_ == nullptr) {
        temporary_.clear();
        return false;
    }
    destination_ = destination;
    good_ = true;
    return true;
}

void AtomicOutputFile::openStream(std::FILE* stream) {
    discard();
    error_.clear();
    stream_ = stream;
    good_ = stream != nullptr;
#if defined(_WIN32)
    // Textures and pictures are bytes: no line-end translation.
    if (stream != nullptr) (void)_setmode(_fileno(stream), _O_BINARY);
#endif
}

bool AtomicOutputFile::write(const void* data, std::size_t size) {
    if (stream_ != nullptr && good_) {
        if (heldSize_ + size > held_.size()) {
            const std::uint64_t grown =
                std::max<std::uint64_t>({65536, 2 * std::uint64_t{held_.size()}, heldSize_ + size});
            if (!held_.resize(grown)) {
                error_ = std::make_error_code(std::errc::not_enough_memory);
                good_ = false;
                return false;
            }
        }
        if (size != 0) std::memcpy(held_.data() + heldSize_, data, size);
        heldSize_ += size;
        return true;
    }
    if (file_ == nullptr || !good_) return false;
    errno = 0;
    if (size != 0 && std::fwrite(data, 1, size, file_) != size) fail();
    return good_;
}

bool AtomicOutputFile::commitStream() {
    errno = 0;
    const auto size = static_cast<std::size_t>(heldSize_);
    if (good_ && size != 0 && std::fwrite(held_.data(), 1, size, stream_) != size) fail();
    if (good_ && std::fflush(stream_) != 0) fail();
    const bool written = good_;
    discard();
    return written;
}

bool AtomicOutputFile::commit() {
    if (stream_ != nullptr) return commitStream();
    if (file_ == nullptr) return false;
    errno = 0;
    if (std::fflush(file_) != 0) fail();
    if (std::fclose(file_) != 0) fail();
    file_ = nullptr;
    if (good_) {
        std::error_code ec;
        std::filesystem::rename(temporary_, destination_, ec);
        if (ec) {
            good_ = false;
            error_ = ec;
        }
    }
    if (!good_) {
        std::error_code ec;
        std::filesystem::remove(temporary_, ec);
    }
    temporary_.clear();
    return good_;
}

void AtomicOutputFile::discard() {
    stream_ = nullptr;
    held_.reset();
    heldSize_ = 0;
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temporary_.empty()) {
        std::error_code ec;
        std::filesystem::remove(temporary_, ec);
        temporary_.clear();
    }
    good_ = false;
}

}  // namespace qm5
