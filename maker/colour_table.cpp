#include "maker/colour_table.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace qm5 {

std::int32_t ColourTable::insertPosition(std::uint32_t v) const {
    if (count_ == 0) return -1;
    const std::uint32_t* e = entries_.data();
    if (e[0] >= v) return -1;
    const std::int64_t last = count_ - 1;
    if (e[last] < v) return static_cast<std::int32_t>(last);
    // Here e[0] < v <= e[last], so the boundary lies inside and e[i + 1] is
    // read only where e[i] < v, which never holds at i = last.
    std::int64_t i = 0;
    std::int64_t step = count_;
    for (;;) {
        if (e[i] < v) {
            if (e[i + 1] >= v) return static_cast<std::int32_t>(i);
            i += step;
            if (i > last) i = last;
        } else {
            i -= step;
            if (i < 0) i = 0;
        }
        if (step > 1) step /= 2;
    }
}

std::int32_t ColourTable::insert(std::uint32_t v) {
    const std::int32_t p = insertPosition(v) + 1;
    if (p < count_ && entries_[static_cast<std::size_t>(p)] == v) return p;
    if (count_ == std::numeric_limits<std::int32_t>::max()) return -1;
    const auto size = static_cast<std::size_t>(count_);
    if (size == entries_.size()) {
        // Capacity doubles so that a run of inserts does not reallocate each time.
        const std::uint64_t capacity = size < 16 ? 16 : std::uint64_t{size} * 2;
        if (!entries_.resize(capacity)) return -1;
    }
    std::uint32_t* e = entries_.data();
    std::memmove(e + p + 1, e + p, (size - static_cast<std::size_t>(p)) * sizeof(std::uint32_t));
    e[p] = v;
    ++count_;
    return p;
}

std::int32_t ColourTable::indexOf(std::uint32_t v) const {
    // The entries are distinct and ascending, so a binary search finds the
    // same position as a scan from the start.
    const std::span<const std::uint32_t> all = colours();
    const auto it = std::lower_bound(all.begin(), all.end(), v);
    if (it == all.end() || *it != v) return -1;
    return static_cast<std::int32_t>(it - all.begin());
}

bool ColourTable::assign(std::span<const std::uint32_t> colours) {
    if (colours.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return false;
    for (std::size_t i = 1; i < colours.size(); ++i) {
        if (colours[i - 1] >= colours[i]) return false;
    }
    HeapArray<std::uint32_t> copy;
    if (!copy.allocate(colours.size())) return false;
    if (!colours.empty()) std::memcpy(copy.data(), colours.data(), colours.size() * sizeof(std::uint32_t));
    entries_ = std::move(copy);
    count_ = static_cast<std::int32_t>(colours.size());
    return true;
}

}  // namespace qm5
