#include "core/input_stream.hpp"

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>
#include <sys/types.h>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace qm5 {

InputStream::~InputStream() {
    if (owned_) std::fclose(file_);
}

ReadFileError InputStream::open(const char* path, bool exact) {
    openStream(nullptr);
    errno = 0;
    file_ = path != nullptr ? std::fopen(path, "rb") : nullptr;
    owned_ = file_ != nullptr;
    if (file_ == nullptr) {
        error_ = path != nullptr ? errno : EINVAL;
        ended_ = failed_ = true;
        return ReadFileError::cannotOpen;
    }
    // Unbuffered, each fread asks the system for the bytes it wants and no more.
    if (exact) std::setvbuf(file_, nullptr, _IONBF, 0);
    return ReadFileError::none;
}

void InputStream::openStream(std::FILE* stream, bool exact) {
    if (owned_) std::fclose(file_);
    file_ = stream;
    owned_ = false;
    error_ = 0;
    buffer_.reset();
    used_ = taken_ = 0;
    ended_ = failed_ = false;
    if (stream == nullptr) return;
#if defined(_WIN32)
    // Pictures and textures are bytes: no line-end translation, no end at a Ctrl-Z.
    (void)_setmode(_fileno(stream), _O_BINARY);
#endif
    if (exact) std::setvbuf(stream, nullptr, _IONBF, 0);
}

bool InputStream::fill(std::uint64_t want) {
    while (used_ < want && !ended_) {
        if (used_ == buffer_.size()) {
            // Grows geometrically: no size query, no size trusted before it
            // has been read.
            const std::uint64_t doubled = std::max<std::uint64_t>(65536, std::uint64_t{buffer_.size()} * 2);
            if (!buffer_.resize(std::min(doubled, std::max(want, used_ + 1)))) return false;
        }
        const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - used_, want - used_));
        errno = 0;
        const std::size_t got = std::fread(buffer_.data() + used_, 1, room, file_);
        used_ += got;
        if (got < room) {
            ended_ = true;
            failed_ = std::ferror(file_) != 0;
            if (failed_) error_ = errno;
        }
    }
    return true;
}

std::span<const std::uint8_t> InputStream::head(std::size_t n) {
    if (file_ == nullptr || !fill(n) || failed_) return {};
    return {buffer_.data(), static_cast<std::size_t>(std::min<std::uint64_t>(n, used_))};
}

int InputStream::next() {
    if (taken_ < used_) return buffer_[static_cast<std::size_t>(taken_++)];
    if (file_ == nullptr || ended_) return -1;
    errno = 0;
    const int c = std::fgetc(file_);
    if (c == EOF) {
        ended_ = true;
        failed_ = std::ferror(file_) != 0;
        if (failed_) error_ = errno;
        return -1;
    }
    return c;
}

ReadFileError InputStream::readAll(HeapArray<std::uint8_t>& out, std::uint64_t maxBytes) {
    out.reset();
    if (file_ == nullptr) return ReadFileError::cannotOpen;
    // One byte past the bound tells a file of exactly maxBytes from a larger one.
    const std::uint64_t want = maxBytes == UINT64_MAX ? UINT64_MAX : maxBytes + 1;
    if (!fill(want)) return ReadFileError::outOfMemory;
    if (failed_) return ReadFileError::cannotOpen;
    if (used_ > maxBytes) return ReadFileError::tooLarge;
    if (!buffer_.resize(used_)) return ReadFileError::outOfMemory;
    out = std::move(buffer_);
    used_ = 0;
    return ReadFileError::none;
}

bool InputStream::take(HeapArray<std::uint8_t>& out) {
    out.reset();
    ended_ = true;
    if (!buffer_.resize(used_)) return false;
    out = std::move(buffer_);
    used_ = taken_ = 0;
    return true;
}

bool InputStream::regularFileSize(std::uint64_t& size) const {
    if (file_ == nullptr) return false;
#if defined(_WIN32)
    struct _stat64 st;
    if (_fstat64(_fileno(file_), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return false;
#else
    struct stat st;
    if (::fstat(::fileno(file_), &st) != 0 || !S_ISREG(st.st_mode)) return false;
#endif
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

}  // namespace qm5
