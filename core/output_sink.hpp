#pragma once
// Where a writer's bytes go: a sink takes writes, then either commits them
// (an output file appears under its name, a memory buffer is complete) or
// discards them. Once a write fails, every later write and commit() fail.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qm5 {

class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual bool write(const void* data, std::size_t size) = 0;
    bool writeByte(std::uint8_t byte) { return write(&byte, 1); }
    virtual bool commit() = 0;
    virtual void discard() = 0;
};

// Bytes gathered in one growing malloc'd block, handed over whole by
// release(). A write that cannot grow the block fails (out of memory).
class MemoryOutput final : public OutputSink {
public:
    MemoryOutput() = default;
    MemoryOutput(const MemoryOutput&) = delete;
    MemoryOutput& operator=(const MemoryOutput&) = delete;
    ~MemoryOutput() override { std::free(data_); }

    bool write(const void* data, std::size_t size) override {
        if (!good_) return false;
        if (size > capacity_ - size_) {
            // Doubling keeps the copies linear in the final size.
            std::size_t grown = capacity_ < 4096 ? 4096 : capacity_;
            while (grown - size_ < size) {
                if (grown > SIZE_MAX / 2) return good_ = false;
                grown *= 2;
            }
            void* p = std::realloc(data_, grown);
            if (p == nullptr) return good_ = false;
            data_ = static_cast<std::uint8_t*>(p);
            capacity_ = grown;
        }
        if (size != 0) std::memcpy(data_ + size_, data, size);
        size_ += size;
        return true;
    }
    bool commit() override { return committed_ = good_; }
    void discard() override {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
        good_ = false;
    }

    bool committed() const { return committed_; }
    // The committed bytes, to be released with std::free; size is set to
    // their count. Nothing (nullptr) before a successful commit().
    std::uint8_t* release(std::size_t& size) {
        if (!committed_) return nullptr;
        size = size_;
        std::uint8_t* out = data_;
        if (size_ != 0 && size_ < capacity_) {
            void* shrunk = std::realloc(data_, size_);
            if (shrunk != nullptr) out = static_cast<std::uint8_t*>(shrunk);
        }
        data_ = nullptr;
        size_ = capacity_ = 0;
        committed_ = false;
        return out;
    }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool good_ = true;
    bool committed_ = false;
};

}  // namespace qm5
