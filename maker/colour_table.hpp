#pragma once
// ColourTable: the palette under construction. Its entries are 32-bit pixel
// values, strictly ascending by unsigned comparison, no value twice; the
// position of a colour is its palette index. The table compares whole values
// and gives their bytes no meaning.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"

namespace qm5 {

class ColourTable {
public:
    ColourTable() = default;
    ColourTable(const ColourTable&) = delete;
    ColourTable& operator=(const ColourTable&) = delete;
    virtual ~ColourTable() = default;

    // The last position whose entry is below v, or -1 when there is none.
    // A jump search: the first probe at 0 either ends it or jumps to the last
    // position, then the step halves down to 1.
    std::int32_t insertPosition(std::uint32_t v) const;
    // Puts v in its place unless it is present; the position of v afterwards,
    // or -1 when memory ran out.
    std::int32_t insert(std::uint32_t v);
    // The position of v, or -1.
    std::int32_t indexOf(std::uint32_t v) const;
    // entries[i], or 0 (black) when i is not a position of the table.
    std::uint32_t colourAt(std::int32_t i) const {
        return i >= 0 && i < count_ ? entries_[static_cast<std::size_t>(i)] : 0;
    }
    std::int32_t count() const { return count_; }
    std::span<const std::uint32_t> colours() const { return {entries_.data(), static_cast<std::size_t>(count_)}; }

    // Replaces the contents with colours, which must be strictly ascending.
    // False (table unchanged) when they are not or memory ran out.
    bool assign(std::span<const std::uint32_t> colours);

private:
    HeapArray<std::uint32_t> entries_;  // capacity; the first count_ are used
    std::int32_t count_ = 0;
};

}  // namespace qm5
