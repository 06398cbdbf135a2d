// AtomicOutputFile: outputs that appear whole or not at all.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/file_io.hpp"
#include "core/pending_files.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qm5 {

namespace fs = std::filesystem;

namespace {

// The file a write to path replaces: the end of its chain of symbolic
// links, which need not exist yet. False for a loop or an unreadable link.
bool resolveLinks(fs::path& path) {
    constexpr int kMaxLinks = 40;  // as the kernel's own limit
    for (int hops = 0; hops < kMaxLinks; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(path, ec))) return true;
        const fs::path target = fs::read_symlink(path, ec);
        if (ec) return false;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return false;
}

unsigned long processId() {
#if defined(_WIN32)
    return static_cast<unsigned long>(_getpid());
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

// Creates name for writing, failing when it exists; errno tells why.
std::FILE* createNew(const std::string& name) {
#if defined(_WIN32)
    std::error_code ec;
    if (fs::exists(fs::path(name), ec)) {
        errno = EEXIST;
        return nullptr;
    }
    return std::fopen(name.c_str(), "wb");
#else
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "wb");
    if (f == nullptr) {
        const int e = errno;
        ::close(fd);
        ::unlink(name.c_str());
        errno = e;
    }
    return f;
#endif
}

// Asks the system to put the file's data on the disk. A file that cannot be
// made durable that way (EINVAL: a file system without it) is no failure.
bool syncData(std::FILE* file) {
#if defined(_WIN32)
    return _commit(_fileno(file)) == 0;
#else
    return ::fsync(::fileno(file)) == 0 || errno == EINVAL || errno == ENOTSUP;
#endif
}

// The same for a folder, once a rename has changed it. Nothing is left to
// undo when it fails: the rename has happened, and the entry reaches the
// disk with the system's next write-back.
void syncFolderEntries(const std::string& folder) {
#if defined(_WIN32)
    // The C runtime of Windows cannot open a folder; NTFS journals renames itself.
    (void)folder;
#else
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
#endif
}

std::string folderOf(const std::string& file) { return fs::path(file).parent_path().string(); }

}  // namespace

AtomicOutputFile::~AtomicOutputFile() { discard(); }

void AtomicOutputFile::fail(int error) {
    if (good_ && error_ == 0) error_ = error;
    good_ = false;
}

bool AtomicOutputFile::open(const char* destination) {
    discard();
    error_ = 0;
    std::error_code ec;
    // Followed by the system, links included (/dev/stdout leads to a pipe
    // or terminal that no path names): what cannot be replaced is written
    // where it is.
    const fs::file_status reached = fs::status(destination, ec);
    if (!ec && fs::exists(reached) && !fs::is_regular_file(reached)) {
        if (fs::is_directory(reached)) {
            error_ = EISDIR;
            return false;
        }
        errno = 0;
        file_ = std::fopen(destination, "wb");
        if (file_ == nullptr) {
            error_ = errno;
            return false;
        }
        destination_ = destination;
        good_ = true;
        return true;
    }
    fs::path target(destination);
    if (!resolveLinks(target)) {
        error_ = ELOOP;
        return false;
    }
    const fs::file_status st = fs::status(target, ec);
    const bool replacing = !ec && fs::exists(st);
    if (replacing) {
        if (!fs::is_regular_file(st)) {
            error_ = fs::is_directory(st) ? EISDIR : EINVAL;
            return false;
        }
        // A read-only file is refused even where the user could override
        // the protection (as an administrator can).
        if ((st.permissions() & fs::perms::owner_write) == fs::perms::none) {
            error_ = EACCES;
            return false;
        }
    }
    return openTemporary(target.string(), replacing, static_cast<unsigned>(st.permissions() & fs::perms::all));
}

bool AtomicOutputFile::openTemporary(const std::string& target, bool replacing, unsigned permissions) {
    static std::atomic<unsigned> counter{0};
    const fs::path directory = fs::path(target).parent_path();
    for (int attempt = 0; attempt < 64 && file_ == nullptr; ++attempt) {
        const std::string name =
            ".qm5-" + std::to_string(processId()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
        temporary_ = (directory / name).string();
        // Known to the signal handler before it exists, so that no signal
        // finds it unknown. A file of that name is no other program's: the
        // name holds this process's id, so one that exists is left by a
        // process of the same id that ended without cleaning up.
        slot_ = registerPending(temporary_);
        errno = 0;
        file_ = createNew(temporary_);
        if (file_ != nullptr) break;
        const int e = errno;
        unregisterPending(slot_);
        slot_ = nullptr;
        errno = e;
        if (e != EEXIST) break;
    }
    if (file_ == nullptr) {
        error_ = errno;
        temporary_.clear();
        return false;
    }
#if defined(_WIN32)
    (void)replacing;
    (void)permissions;
#else
    // As editors do: the new file takes the permission bits of the one it
    // replaces (not its set-id bits), instead of those the umask gives.
    if (replacing) (void)::fchmod(::fileno(file_), static_cast<mode_t>(permissions));
#endif
    destination_ = target;
    good_ = true;
    return true;
}

void AtomicOutputFile::openStream(std::FILE* stream) {
    discard();
    error_ = 0;
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
                fail(ENOMEM);
                return false;
            }
        }
        if (size != 0) std::memcpy(held_.data() + heldSize_, data, size);
        heldSize_ += size;
        return true;
    }
    if (file_ == nullptr || !good_) return false;
    errno = 0;
    if (size != 0 && std::fwrite(data, 1, size, file_) != size) fail(errno);
    return good_;
}

bool AtomicOutputFile::completeStream() {
    errno = 0;
    const auto size = static_cast<std::size_t>(heldSize_);
    if (good_ && size != 0 && std::fwrite(held_.data(), 1, size, stream_) != size) fail(errno);
    errno = 0;
    if (good_ && std::fflush(stream_) != 0) fail(errno);
    const bool written = good_;
    discard();
    completed_ = written;
    return written;
}

bool AtomicOutputFile::complete(bool durable) {
    if (stream_ != nullptr) return completeStream();
    if (file_ == nullptr) return completed_;
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) fail(errno);
    // A direct output (a device, a FIFO) has nothing to make durable.
    errno = 0;
    if (good_ && durable && !temporary_.empty() && !syncData(file_)) fail(errno);
    errno = 0;
    if (std::fclose(file_) != 0) fail(errno);
    file_ = nullptr;
    if (!good_) {
        const int error = error_;
        discard();
        error_ = error;
        return false;
    }
    completed_ = true;
    return true;
}

bool AtomicOutputFile::publish(bool durableFolder) {
    if (!completed_) return false;
    completed_ = false;
    if (temporary_.empty()) {
        good_ = false;
        return true;
    }
    std::error_code ec;
    fs::rename(temporary_, destination_, ec);
    if (ec) {
        fail(ec.value());
        fs::remove(temporary_, ec);
    } else if (durableFolder) {
        syncFolderEntries(folderOf(destination_));
    }
    // Only now: a signal before the rename still finds the temporary.
    unregisterPending(slot_);
    slot_ = nullptr;
    temporary_.clear();
    const bool published = good_;
    good_ = false;
    return published;
}

bool AtomicOutputFile::commit() { return complete() && publish(); }

void AtomicOutputFile::syncFolder(const std::string& folder) { syncFolderEntries(folder); }

bool AtomicOutputFile::syncsFileSystems() {
#if defined(__linux__)
    return true;
#else
    return false;
#endif
}

std::error_code AtomicOutputFile::syncFileSystemOf(const std::string& folder) {
#if defined(__linux__)
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0 && ::syncfs(fd) != 0) error = errno;
    if (fd >= 0) ::close(fd);
    return error != 0 ? std::error_code(error, std::generic_category()) : std::error_code();
#else
    (void)folder;
    return {};
#endif
}

void AtomicOutputFile::discard() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temporary_.empty()) {
        std::error_code ec;
        fs::remove(temporary_, ec);
        temporary_.clear();
    }
    unregisterPending(slot_);
    slot_ = nullptr;
    stream_ = nullptr;
    held_.reset();
    heldSize_ = 0;
    good_ = false;
    completed_ = false;
}

}  // namespace qm5
