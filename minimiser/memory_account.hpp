#pragma once
// Working memory counted against a limit: every allocation of --best (the
// prime search's frames, the bitmaps, the candidates, the cover's tables,
// the palette order search's positions and cache) takes its bytes from an
// account before it asks the allocator, and gives them back when freed.
//
// An account may have a parent, which every take is also charged to: a
// worker's account (its limit the allowance of one record) under the job's
// (its limit the memory limit), so that a record passing its allowance
// fails the same way on any machine and thread count, while the job as a
// whole never passes its limit. A take the parent refuses although the
// worker's own account has room depends on what other threads hold at that
// moment: crowded() tells the caller to run the record again on its own.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "core/heap_array.hpp"

namespace qm5 {

class MemoryAccount {
public:
    explicit MemoryAccount(std::uint64_t limit = ~std::uint64_t{0}, MemoryAccount* parent = nullptr)
        : limit_(limit), parent_(parent) {}
    MemoryAccount(const MemoryAccount&) = delete;
    MemoryAccount& operator=(const MemoryAccount&) = delete;

    // Takes bytes when this account and its parent have room; false
    // otherwise, with overLimit() (this account's own limit) or crowded()
    // (the parent's) set.
    [[nodiscard]] bool take(std::uint64_t bytes) {
        std::uint64_t used = used_.load(std::memory_order_relaxed);
        do {
            if (bytes > limit_ || used > limit_ - bytes) {
                overLimit_.store(true, std::memory_order_relaxed);
                return false;
            }
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        if (parent_ != nullptr && !parent_->take(bytes)) {
            used_.fetch_sub(bytes, std::memory_order_relaxed);
            crowded_.store(true, std::memory_order_relaxed);
            return false;
        }
        const std::uint64_t now = used + bytes;
        std::uint64_t peak = peak_.load(std::memory_order_relaxed);
        while (now > peak && !peak_.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
        }
        return true;
    }
    void give(std::uint64_t bytes) {
        used_.fetch_sub(bytes, std::memory_order_relaxed);
        if (parent_ != nullptr) parent_->give(bytes);
    }

    std::uint64_t used() const { return used_.load(std::memory_order_relaxed); }
    std::uint64_t peak() const { return peak_.load(std::memory_order_relaxed); }
    std::uint64_t limit() const { return limit_; }
    // Room left under this account's own limit.
    std::uint64_t room() const { return limit_ - std::min(limit_, used()); }

    // A new limit and parent (not thread-safe: before any take).
    void open(std::uint64_t limit, MemoryAccount* parent) {
        parent_ = parent;
        reset(limit);
    }
    // A new limit, and the flags and peak cleared (not thread-safe: between runs).
    void reset(std::uint64_t limit) {
        limit_ = limit;
        overLimit_.store(false, std::memory_order_relaxed);
        crowded_.store(false, std::memory_order_relaxed);
        peak_.store(used(), std::memory_order_relaxed);
    }
    bool overLimit() const { return overLimit_.load(std::memory_order_relaxed); }
    bool crowded() const { return crowded_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> used_{0};
    std::atomic<std::uint64_t> peak_{0};
    std::uint64_t limit_;
    MemoryAccount* parent_;
    std::atomic<bool> overLimit_{false};
    std::atomic<bool> crowded_{false};
};

// A HeapArray whose bytes are taken from an account (none: not counted).
template <class T>
class CountedArray {
public:
    CountedArray() = default;
    explicit CountedArray(MemoryAccount* account) : account_(account) {}
    CountedArray(const CountedArray&) = delete;
    CountedArray& operator=(const CountedArray&) = delete;
    ~CountedArray() { reset(); }

    // The account of later allocations; the array is freed first.
    void setAccount(MemoryAccount* account) {
        reset();
        account_ = account;
    }

    [[nodiscard]] bool allocate(std::uint64_t count) {
        reset();
        if (count > HeapArray<T>::maxCount() || !charge(count, 0)) return false;
        if (array_.allocate(count)) return true;
        refund(count);
        return false;
    }
    [[nodiscard]] bool resize(std::uint64_t count) {
        const std::uint64_t old = array_.size();
        if (count > HeapArray<T>::maxCount() || (count > old && !charge(count, old))) return false;
        if (!resizeArray(count)) {
            if (count > old) refund(count - old);
            return false;
        }
        if (count < old) refund(old - count);
        return true;
    }
    [[nodiscard]] bool makeRoom(std::uint64_t count) { return array_.size() >= count || allocate(count); }
    [[nodiscard]] bool grow(std::uint64_t count) {
        const std::uint64_t doubled = 2 * std::uint64_t{array_.size()};
        return array_.size() >= count || resize(count > doubled ? count : doubled);
    }
    void reset() {
        refund(array_.size());
        array_.reset();
    }

    T* data() noexcept { return array_.data(); }
    const T* data() const noexcept { return array_.data(); }
    std::size_t size() const noexcept { return array_.size(); }
    bool empty() const noexcept { return array_.empty(); }
    T& operator[](std::size_t i) noexcept { return array_[i]; }
    const T& operator[](std::size_t i) const noexcept { return array_[i]; }
    T* begin() noexcept { return array_.begin(); }
    T* end() noexcept { return array_.end(); }
    const T* begin() const noexcept { return array_.begin(); }
    const T* end() const noexcept { return array_.end(); }
    std::span<T> span() noexcept { return array_.span(); }
    std::span<const T> span() const noexcept { return array_.span(); }

private:
    // HeapArray::resize clears new elements with memset, which a type with
    // member initialisers does not allow: those are copied over.
    bool resizeArray(std::uint64_t count) {
        if constexpr (std::is_trivially_default_constructible_v<T>) {
            return array_.resize(count);
        } else {
            HeapArray<T> other;
            if (!other.allocate(count)) return false;
            std::copy(array_.begin(), array_.begin() + std::min<std::uint64_t>(count, array_.size()), other.begin());
            array_ = std::move(other);
            return true;
        }
    }

    // The bytes of count elements beyond the old ones (count is within
    // HeapArray's reach, so the product does not overflow).
    bool charge(std::uint64_t count, std::uint64_t old) {
        return account_ == nullptr || account_->take((count - old) * sizeof(T));
    }
    void refund(std::uint64_t count) {
        if (account_ != nullptr && count > 0) account_->give(count * sizeof(T));
    }

    HeapArray<T> array_;
    MemoryAccount* account_ = nullptr;
};

}  // namespace qm5
