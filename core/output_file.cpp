// AtomicOutputFile and the signal handlers that clean up after it.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/file_io.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qm5 {

namespace fs = std::filesystem;

namespace {

// Temporary files being written, for the signal handler. A slot's name is
// written while the slot is claimed (1) and read only once it is active
// (2); the handler touches nothing but lock-free atomics and unlink(), which
// are async-signal-safe.
constexpr std::size_t kPendingSlots = 8;
constexpr std::size_t kMaxPendingName = 4096;
struct PendingSlot {
    std::atomic<int> state{0};
    char name[kMaxPendingName];
};
PendingSlot pending[kPendingSlots];

// -1 when every slot is taken or the name too long: that temporary is then
// removed on every path but a signal.
int registerPending(const std::string& name) {
    if (name.size() >= kMaxPendingName) return -1;
    for (std::size_t i = 0; i < kPendingSlots; ++i) {
        int expected = 0;
        if (!pending[i].state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) continue;
        std::memcpy(pending[i].name, name.c_str(), name.size() + 1);
        pending[i].state.store(2, std::memory_order_release);
        return static_cast<int>(i);
    }
    return -1;
}

void unregisterPending(int slot) {
    if (slot >= 0) pending[static_cast<std::size_t>(slot)].state.store(0, std::memory_order_release);
}

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

}  // namespace

AtomicOutputFile::~AtomicOutputFile() { discard(); }

void AtomicOutputFile::fail(int error) {
    if (good_ && error_ == 0) error_ = error;
    good_ = false;
}

bool AtomicOutputFile::open(const char* destination) {
    discard();
    error_ = 0;
    fs::path target(destination);
    if (!resolveLinks(target)) {
        error_ = ELOOP;
        return false;
    }
    std::error_code ec;
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
    static std::atomic<unsigned> counter{0};
    const fs::path directory = target.parent_path();
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
        slot_ = -1;
        errno = e;
        if (e != EEXIST) break;
    }
    if (file_ == nullptr) {
        error_ = errno;
        temporary_.clear();
        return false;
    }
#if !defined(_WIN32)
    // As editors do: the new file takes the permission bits of the one it
    // replaces (not its set-id bits), instead of those the umask gives.
    if (replacing) (void)::fchmod(::fileno(file_), static_cast<mode_t>(st.permissions() & fs::perms::all));
#endif
    destination_ = target.string();
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

bool AtomicOutputFile::commitStream() {
    errno = 0;
    const auto size = static_cast<std::size_t>(heldSize_);
    if (good_ && size != 0 && std::fwrite(held_.data(), 1, size, stream_) != size) fail(errno);
    errno = 0;
    if (good_ && std::fflush(stream_) != 0) fail(errno);
    const bool written = good_;
    discard();
    return written;
}

bool AtomicOutputFile::commit() {
    if (stream_ != nullptr) return commitStream();
    if (file_ == nullptr) return false;
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) fail(errno);
    errno = 0;
    if (std::fclose(file_) != 0) fail(errno);
    file_ = nullptr;
    if (good_) {
        std::error_code ec;
        fs::rename(temporary_, destination_, ec);
        if (ec) fail(ec.value());
    }
    if (!good_) {
        std::error_code ec;
        fs::remove(temporary_, ec);
    }
    // Only now: a signal before the rename still finds the temporary.
    unregisterPending(slot_);
    slot_ = -1;
    temporary_.clear();
    return good_;
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
    slot_ = -1;
    stream_ = nullptr;
    held_.reset();
    heldSize_ = 0;
    good_ = false;
}

#if defined(_WIN32)

// Windows has no SIGHUP and no SIGXFSZ, and a console's Ctrl+C reaches the
// program on a thread of its own, through a console control handler rather
// than a signal; a file still open there cannot be removed anyway. Windows
// builds therefore install nothing; the temporary of a stopped run stays.
void installOutputSignalHandlers() {}

#else

namespace {

void removePendingAndReraise(int signal) {
    for (PendingSlot& slot : pending) {
        if (slot.state.load(std::memory_order_acquire) == 2) (void)::unlink(slot.name);
    }
    // The signal is blocked while its handler runs: raised again with the
    // default action, it ends the program as soon as the handler returns,
    // with the status a parent expects for it.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    (void)::sigaction(signal, &fallback, nullptr);
    (void)::raise(signal);
}

}  // namespace

void installOutputSignalHandlers() {
    static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free slots");
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)::sigaction(SIGXFSZ, &ignore, nullptr);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction handler {};
        handler.sa_handler = removePendingAndReraise;
        // One cleanup at a time: the other signals wait until it has ended the program.
        sigemptyset(&handler.sa_mask);
        for (const int other : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&handler.sa_mask, other);
        (void)::sigaction(signal, &handler, nullptr);
    }
}

#endif

}  // namespace qm5
