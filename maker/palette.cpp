#include "maker/palette.hpp"

#include <algorithm>
#include <cstddef>

#include "maker/reports.hpp"
#include "core/heap_array.hpp"

namespace qm5 {

namespace {

// Open-addressing set of 32-bit values, at most half full. The value
// 0xFFFFFFFF marks a free slot and is itself tracked by a flag.
class ColourSet {
public:
    std::size_t size() const { return size_; }

    // False when memory ran out (the set is then unchanged).
    bool add(std::uint32_t v) {
        if (v == kFree) {
            if (!hasFreeValue_) {
                hasFreeValue_ = true;
                ++size_;
            }
            return true;
        }
        if ((size_ + 1) * 2 > slots_.size() && !grow()) return false;
        std::size_t i = slotOf(v);
        while (slots_[i] != kFree) {
            if (slots_[i] == v) return true;
            i = (i + 1) & mask_;
        }
        slots_[i] = v;
        ++size_;
        return true;
    }

    // The members in ascending order; false when memory ran out.
    bool sorted(HeapArray<std::uint32_t>& out) const {
        if (!out.allocate(size_)) return false;
        std::size_t n = 0;
        for (const std::uint32_t v : slots_) {
            if (v != kFree) out[n++] = v;
        }
        if (hasFreeValue_) out[n++] = kFree;
        std::sort(out.begin(), out.end());
        return true;
    }

private:
    static constexpr std::uint32_t kFree = 0xFFFFFFFFu;

    std::size_t slotOf(std::uint32_t v) const {
        // Fibonacci hashing: the top bits of the product spread neighbouring
        // colours over the table.
        return static_cast<std::size_t>((std::uint64_t{v} * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }

    bool grow() {
        const unsigned bits = slots_.empty() ? 10 : bits_ + 1;
        if (bits > 40) return false;
        HeapArray<std::uint32_t> old;
        if (!old.allocate(std::uint64_t{1} << bits)) return false;
        std::swap(old, slots_);  // slots_ now the new, zeroed array
        std::fill(slots_.begin(), slots_.end(), kFree);
        bits_ = bits;
        mask_ = slots_.size() - 1;
        for (const std::uint32_t v : old) {
            if (v == kFree) continue;
            std::size_t i = slotOf(v);
            while (slots_[i] != kFree) i = (i + 1) & mask_;
            slots_[i] = v;
        }
        return true;
    }

    HeapArray<std::uint32_t> slots_;
    unsigned bits_ = 0;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
    bool hasFreeValue_ = false;
};

constexpr const char* kProgress = "\rCreating palette (%3d cols found, %3d %% done)";

}  // namespace

// Longer than most: the two sweeps and their console lines are written out
// in the order the lines appear, so that the console bytes can be read off
// the code.
PaletteResult buildPalette(Console& console, std::span<Picture> pictures, ColourTable& table,
                           std::int32_t maxColours, Progress* progress) {
    const std::uint64_t n = pictures.size();
    const std::uint64_t pixelsPerPicture = n == 0 ? 0 : pictures[0].pixels.size();
    const std::uint64_t total = n * pixelsPerPicture;
    const auto percent = [total](std::uint64_t done) {
        return total == 0 ? 0 : static_cast<int>((done / 2) * 100 / total);
    };

    console.print("Creating palette (%3d cols found, %3d %% done)", 0, 0);
    // Both sweeps visit every pixel: 2 * total visits.
    const auto visited = [progress, total](std::uint64_t done) {
        if (progress != nullptr && total > 0) progress->advance(done, 2 * total);
    };
    if (progress != nullptr) progress->begin(Stage::palette);

    const auto tableFailed = [&console] {
        console.print("\n");
        reportError(console, "Adding color to table failed !");
        return PaletteResult::tableFailed;
    };

    // Gathering sweep. The set holds exactly the colours the table would hold
    // after inserting the pixels visited so far, so its size is the count
    // each progress line shows.
    ColourSet found;
    for (const std::uint32_t v : table.colours()) {
        if (!found.add(v)) return tableFailed();
    }
    const auto limit = static_cast<std::size_t>(maxColours < 0 ? 0 : maxColours);
    for (std::size_t p = 0; p < pictures.size(); ++p) {
        const HeapArray<std::uint32_t>& pixels = pictures[p].pixels;
        std::uint32_t last = 0;
        bool haveLast = false;
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const std::uint32_t v = pixels[i];
            if (!haveLast || v != last) {  // runs of one colour are common
                if (!found.add(v)) return tableFailed();
                if (found.size() > limit) {
                    console.print("\n");
                    return PaletteResult::tooManyColours;
                }
                last = v;
                haveLast = true;
            }
            if ((i & 31) == 16) {
                console.print(kProgress, static_cast<int>(found.size()), percent(p * pixelsPerPicture + i));
                if ((i & 0xFFFF) == 16) visited(p * pixelsPerPicture + i);
            }
        }
    }
    HeapArray<std::uint32_t> colours;
    if (!found.sorted(colours) || !table.assign(colours.span())) return tableFailed();

    // Indexing sweep against the finished table.
    const std::span<const std::uint32_t> entries = table.colours();
    const int count = table.count();
    for (std::size_t p = 0; p < pictures.size(); ++p) {
        HeapArray<std::uint32_t>& pixels = pictures[p].pixels;
        std::uint32_t last = 0;
        std::uint32_t lastIndex = 0;
        bool haveLast = false;
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const std::uint32_t v = pixels[i];
            if (!haveLast || v != last) {
                const auto it = std::lower_bound(entries.begin(), entries.end(), v);
                if (it == entries.end() || *it != v) {
                    console.print("\n");
                    reportError(console, "Adding color to texture failed !");
                    return PaletteResult::indexFailed;
                }
                last = v;
                lastIndex = static_cast<std::uint32_t>(it - entries.begin());
                haveLast = true;
            }
            pixels[i] = lastIndex;
            if ((i & 31) == 16) {
                console.print(kProgress, count, percent(total + p * pixelsPerPicture + i));
                if ((i & 0xFFFF) == 16) visited(total + p * pixelsPerPicture + i);
            }
        }
    }

    console.print("\rCreating palette (%3d cols found, %3d %% done)\n", count, 100);
    visited(2 * total);
    return PaletteResult::done;
}

}  // namespace qm5
