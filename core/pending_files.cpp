// The registry of temporary files being written, and the signal handlers
// that remove them when a signal stops the program.
#include "core/pending_files.hpp"

#include <atomic>
#include <cstring>
#include <new>

#include "core/file_io.hpp"

#if !defined(_WIN32)
#include <signal.h>
#include <unistd.h>
#endif

namespace qm5 {

// A slot's name is set while the slot is claimed (state 1) and read only
// while it is active (2); 0 is free.
struct PendingSlot {
    std::atomic<int> state{0};
    std::atomic<char*> name{nullptr};
};

namespace {

// Slots come in blocks chained from one static block; a block, once
// linked, stays for the life of the program, so the handler can walk the
// chain at any moment.
constexpr std::size_t kSlotsPerBlock = 64;
struct PendingBlock {
    PendingSlot slots[kSlotsPerBlock];
    std::atomic<PendingBlock*> next{nullptr};
};
PendingBlock firstBlock;
// Where the last slot was found: files registered one after another (an
// image each) then find theirs at once instead of walking every block.
std::atomic<PendingBlock*> hint{&firstBlock};

PendingSlot* claim(PendingBlock& block, char* name) {
    for (PendingSlot& slot : block.slots) {
        int expected = 0;
        if (!slot.state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) continue;
        slot.name.store(name, std::memory_order_relaxed);
        slot.state.store(2, std::memory_order_release);
        hint.store(&block, std::memory_order_relaxed);
        return &slot;
    }
    return nullptr;
}

}  // namespace

PendingSlot* registerPending(const std::string& name) {
    char* copy = new (std::nothrow) char[name.size() + 1];
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, name.c_str(), name.size() + 1);
    // From the hint to the end of the chain, then from the start to the hint.
    PendingBlock* const start = hint.load(std::memory_order_relaxed);
    PendingBlock* last = nullptr;
    for (PendingBlock* b = start; b != nullptr; b = b->next.load(std::memory_order_acquire)) {
        if (PendingSlot* slot = claim(*b, copy)) return slot;
        last = b;
    }
    for (PendingBlock* b = &firstBlock; b != start; b = b->next.load(std::memory_order_acquire)) {
        if (PendingSlot* slot = claim(*b, copy)) return slot;
    }
    // Every slot is taken: one more block at the end of the chain.
    auto* block = new (std::nothrow) PendingBlock;
    if (block == nullptr) {
        delete[] copy;
        return nullptr;
    }
    PendingSlot* slot = claim(*block, copy);
    for (PendingBlock* expected = nullptr;
         !last->next.compare_exchange_weak(expected, block, std::memory_order_release, std::memory_order_acquire);
         expected = nullptr) {
        if (expected != nullptr) last = expected;  // another thread linked one first: go past it
    }
    return slot;
}

void unregisterPending(PendingSlot* slot) {
    if (slot == nullptr) return;
    slot->state.store(0, std::memory_order_release);
    delete[] slot->name.exchange(nullptr, std::memory_order_acq_rel);
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
    for (PendingBlock* b = &firstBlock; b != nullptr; b = b->next.load(std::memory_order_acquire)) {
        for (PendingSlot& slot : b->slots) {
            if (slot.state.load(std::memory_order_acquire) != 2) continue;
            if (const char* name = slot.name.load(std::memory_order_acquire)) (void)::unlink(name);
        }
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
    static_assert(std::atomic<int>::is_always_lock_free && std::atomic<char*>::is_always_lock_free &&
                      std::atomic<PendingBlock*>::is_always_lock_free,
                  "the signal handler needs lock-free slots");
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
