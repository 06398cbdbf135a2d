#pragma once
// ByteReader: the one checked cursor over a byte buffer that every reader of
// this code base uses. Contract: a read that cannot be satisfied in full
// returns nothing (an empty optional or false) and consumes nothing; the
// cursor never moves outside [0, size]. All multi-byte values are
// little-endian.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace qm5 {

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t size() const { return bytes_.size(); }
    std::size_t offset() const { return offset_; }
    std::size_t remaining() const { return bytes_.size() - offset_; }
    bool atEnd() const { return offset_ == bytes_.size(); }

    // Moves to an absolute offset; false (cursor unchanged) past the end.
    bool seek(std::uint64_t offset) {
        if (offset > bytes_.size()) return false;
        offset_ = static_cast<std::size_t>(offset);
        return true;
    }
    bool skip(std::uint64_t count) {
        if (count > remaining()) return false;
        offset_ += static_cast<std::size_t>(count);
        return true;
    }

    std::optional<std::uint8_t> readU8() {
        if (remaining() < 1) return std::nullopt;
        return bytes_[offset_++];
    }
    std::optional<std::uint16_t> readU16() {
        if (remaining() < 2) return std::nullopt;
        std::uint16_t v = static_cast<std::uint16_t>(bytes_[offset_] | (bytes_[offset_ + 1] << 8));
        offset_ += 2;
        return v;
    }
    std::optional<std::int16_t> readI16() {
        auto v = readU16();
        if (!v) return std::nullopt;
        return static_cast<std::int16_t>(*v);
    }
    std::optional<std::uint32_t> readU32() {
        if (remaining() < 4) return std::nullopt;
        std::uint32_t v = static_cast<std::uint32_t>(bytes_[offset_]) |
                          (static_cast<std::uint32_t>(bytes_[offset_ + 1]) << 8) |
                          (static_cast<std::uint32_t>(bytes_[offset_ + 2]) << 16) |
                          (static_cast<std::uint32_t>(bytes_[offset_ + 3]) << 24);
        offset_ += 4;
        return v;
    }
    std::optional<std::int32_t> readI32() {
        auto v = readU32();
        if (!v) return std::nullopt;
        return static_cast<std::int32_t>(*v);
    }
    // Takes the next count bytes as a view into the buffer.
    std::optional<std::span<const std::uint8_t>> readSpan(std::uint64_t count) {
        if (count > remaining()) return std::nullopt;
        auto s = bytes_.subspan(offset_, static_cast<std::size_t>(count));
        offset_ += static_cast<std::size_t>(count);
        return s;
    }
    bool readInto(std::span<std::uint8_t> out) {
        if (out.size() > remaining()) return false;
        if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset_, out.size());
        offset_ += out.size();
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

// Little-endian stores into a caller's buffer (the writers' half).
inline void storeU16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void storeU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace qm5
