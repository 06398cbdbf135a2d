#pragma once
// HeapArray<T>: an owned, fixed-size array of trivially copyable values whose
// allocation never throws. Every size is checked for overflow before it
// reaches the allocator; a failed allocation is reported by a false result and
// leaves the array empty. Used wherever running out of memory is a result.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

namespace qm5 {

template <class T>
class HeapArray {
    static_assert(std::is_trivially_copyable_v<T>, "HeapArray holds plain values only");

public:
    HeapArray() = default;
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;
    HeapArray(HeapArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    HeapArray& operator=(HeapArray&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~HeapArray() { reset(); }

    // Replaces the contents with count zeroed elements. count is 64-bit so
    // that callers can pass products computed in 64 bits without narrowing.
    [[nodiscard]] bool allocate(std::uint64_t count) {
        reset();
        if (count == 0) return true;
        if (count > maxCount()) return false;
        void* p = std::calloc(static_cast<std::size_t>(count), sizeof(T));
        if (p == nullptr) return false;
        data_ = static_cast<T*>(p);
        size_ = static_cast<std::size_t>(count);
        return true;
    }

    // Replaces the contents with a copy of values, without zeroing first.
    [[nodiscard]] bool assign(std::span<const T> values) {
        reset();
        if (values.empty()) return true;
        if (values.size() > maxCount()) return false;
        void* p = std::malloc(values.size() * sizeof(T));
        if (p == nullptr) return false;
        std::memcpy(p, values.data(), values.size() * sizeof(T));
        data_ = static_cast<T*>(p);
        size_ = values.size();
        return true;
    }

    // Changes the element count, keeping the first min(old, new) elements;
    // new elements are zero. On failure the array is unchanged.
    [[nodiscard]] bool resize(std::uint64_t count) {
        if (count == 0) {
            reset();
            return true;
        }
        if (count > maxCount()) return false;
        void* p = std::realloc(data_, static_cast<std::size_t>(count) * sizeof(T));
        if (p == nullptr) return false;
        data_ = static_cast<T*>(p);
        if (count > size_) std::memset(data_ + size_, 0, (static_cast<std::size_t>(count) - size_) * sizeof(T));
        size_ = static_cast<std::size_t>(count);
        return true;
    }

    // At least count elements, for scratch storage: an array already as
    // large stays as it is, a smaller one is allocated afresh (zeroed) and
    // its old contents are gone.
    [[nodiscard]] bool makeRoom(std::uint64_t count) { return size_ >= count || allocate(count); }

    // At least count elements, keeping the contents: a smaller array grows
    // to at least twice its size, so that growing in small steps costs
    // linear time in all.
    [[nodiscard]] bool grow(std::uint64_t count) {
        const std::uint64_t doubled = 2 * std::uint64_t{size_};
        return size_ >= count || resize(count > doubled ? count : doubled);
    }

    void reset() noexcept {
        std::free(data_);
        data_ = nullptr;
        size_ = 0;
    }

    static constexpr std::uint64_t maxCount() {
        return static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T);
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace qm5
