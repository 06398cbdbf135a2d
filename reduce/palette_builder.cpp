#include "reduce/palette_builder.hpp"

#include <algorithm>
#include <array>

#include "reduce/nearest_colour.hpp"
#include "reduce/picture_error.hpp"

namespace qm5 {

// ---- ColourHistogram: open addressing, at most half full ----

bool ColourHistogram::grow() {
    const unsigned bits = bits_ == 0 ? 12 : bits_ + 1;
    if (bits > 40) return false;
    HeapArray<std::uint32_t> keys;
    HeapArray<std::uint32_t> counts;
    if (!keys.allocate(std::uint64_t{1} << bits) || !counts.allocate(std::uint64_t{1} << bits)) return false;
    std::fill(keys.begin(), keys.end(), kFree);
    const std::size_t mask = keys.size() - 1;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == kFree) continue;
        std::size_t at = static_cast<std::size_t>((std::uint64_t{keys_[i]} * 0x9E3779B97F4A7C15ull) >> (64 - bits));
        while (keys[at] != kFree) at = (at + 1) & mask;
        keys[at] = keys_[i];
        counts[at] = counts_[i];
    }
    keys_ = std::move(keys);
    counts_ = std::move(counts);
    bits_ = bits;
    return true;
}

bool ColourHistogram::add(std::span<const std::uint32_t> pixels) {
    std::uint32_t last = kFree;
    std::size_t lastSlot = 0;
    for (const std::uint32_t c : pixels) {
        if (c == last) {  // runs of one colour are common
            ++counts_[lastSlot];
            continue;
        }
        if ((size_ + 1) * 2 > keys_.size() && !grow()) return false;
        const std::size_t mask = keys_.size() - 1;
        std::size_t at = static_cast<std::size_t>((std::uint64_t{c} * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
        while (keys_[at] != kFree && keys_[at] != c) at = (at + 1) & mask;
        if (keys_[at] == kFree) {
            keys_[at] = c;
            ++size_;
        }
        ++counts_[at];
        last = c;
        lastSlot = at;
    }
    return true;
}

bool ColourHistogram::sorted(HeapArray<ColourCount>& out) const {
    if (!out.allocate(size_)) return false;
    std::size_t n = 0;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] != kFree) out[n++] = {keys_[i], counts_[i]};
    }
    std::sort(out.begin(), out.end(), [](const ColourCount& a, const ColourCount& b) { return a.colour < b.colour; });
    return true;
}

// ---- Median cut ----

namespace {

std::int32_t channel(std::uint32_t c, int ch) { return static_cast<std::int32_t>((c >> (8 * ch)) & 0xFF); }

}  // namespace

void ColourMoments::add(const ColourCount& e) {
    n += e.count;
    for (int ch = 0; ch < 3; ++ch) {
        const std::int64_t v = channel(e.colour, ch);
        sum[ch] += v * e.count;
        squares[ch] += v * v * e.count;
    }
}

// squares - sum^2 / n, with the mean in 8 fraction bits so that no product
// overflows.
std::int64_t ColourMoments::error(int ch) const {
    if (n == 0) return 0;
    const std::int64_t mean = (sum[ch] << 8) / n;
    return squares[ch] - ((sum[ch] * mean) >> 8);
}

std::uint32_t ColourMoments::mean() const {
    std::uint32_t c = 0;
    for (int ch = 0; ch < 3; ++ch) c |= static_cast<std::uint32_t>((sum[ch] + n / 2) / n) << (8 * ch);
    return c;
}

namespace {

ColourMoments momentsOf(std::span<const ColourCount> entries) {
    ColourMoments m;
    for (const ColourCount& e : entries) m.add(e);
    return m;
}

// Splits the box's entries (sorted here along its widest channel) where the
// error along that channel is least; the split point, in (begin, end).
std::size_t splitPoint(std::span<ColourCount> entries, const ColourMoments& whole) {
    int widest = 0;
    for (int ch = 1; ch < 3; ++ch) {
        if (whole.error(ch) > whole.error(widest)) widest = ch;
    }
    std::sort(entries.begin(), entries.end(), [widest](const ColourCount& a, const ColourCount& b) {
        const std::int32_t va = channel(a.colour, widest), vb = channel(b.colour, widest);
        return va != vb ? va < vb : a.colour < b.colour;
    });
    ColourMoments left;
    std::size_t best = 1;
    std::int64_t bestError = -1;
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
        left.add(entries[i]);
        // Only between different values of the channel.
        if (channel(entries[i].colour, widest) == channel(entries[i + 1].colour, widest)) continue;
        ColourMoments right;
        right.n = whole.n - left.n;
        right.sum[widest] = whole.sum[widest] - left.sum[widest];
        right.squares[widest] = whole.squares[widest] - left.squares[widest];
        const std::int64_t error = left.error(widest) + right.error(widest);
        if (bestError < 0 || error < bestError) {
            bestError = error;
            best = i + 1;
        }
    }
    // All equal on the widest channel (its error then is 0): any split.
    return bestError < 0 ? entries.size() / 2 : best;
}

}  // namespace

MedianCut::Box MedianCut::box(std::size_t begin, std::size_t end) const {
    Box b{begin, end, momentsOf({entries_.data() + begin, end - begin}), 0};
    b.error = b.moments.error();
    return b;
}

bool MedianCut::start(std::span<const ColourCount> histogram) {
    if (!entries_.allocate(histogram.size()) || !boxes_.allocate(std::max<std::size_t>(histogram.size(), 1))) return false;
    std::copy(histogram.begin(), histogram.end(), entries_.begin());
    boxes_[0] = box(0, entries_.size());
    count_ = 1;
    return true;
}

bool MedianCut::palette(std::uint32_t k, HeapArray<std::uint32_t>& out) {
    if (k < count_) {
        // Fewer than split already: again from one box (the splits do not
        // depend on the order the entries were left in).
        boxes_[0] = box(0, entries_.size());
        count_ = 1;
    }
    while (count_ < k && count_ < boxes_.size()) {
        // The box of largest error with more than one colour (lowest index on ties).
        std::uint32_t pick = count_;
        for (std::uint32_t i = 0; i < count_; ++i) {
            if (boxes_[i].end - boxes_[i].begin < 2) continue;
            if (pick == count_ || boxes_[i].error > boxes_[pick].error) pick = i;
        }
        if (pick == count_) break;
        Box& box = boxes_[pick];
        const std::span<ColourCount> part(entries_.data() + box.begin, box.end - box.begin);
        const std::size_t at = box.begin + splitPoint(part, box.moments);
        const std::size_t end = box.end;
        box = this->box(box.begin, at);
        boxes_[count_++] = this->box(at, end);
    }
    const std::uint32_t n = std::min(k, count_);
    if (!out.allocate(n)) return false;
    for (std::uint32_t i = 0; i < n; ++i) out[i] = boxes_[i].moments.mean();
    return true;
}

bool mergeCells(std::span<const ColourCount> histogram, int bits, HeapArray<ColourCount>& out) {
    const int drop = 8 - bits;
    const auto cellOf = [drop, bits](std::uint32_t c) {
        return ((c & 0xFF) >> drop) | (((c >> 8) & 0xFF) >> drop) << bits | (((c >> 16) & 0xFF) >> drop) << (2 * bits);
    };
    HeapArray<ColourMoments> cells;
    if (!cells.allocate(std::uint64_t{1} << (3 * bits))) return false;
    for (const ColourCount& e : histogram) cells[cellOf(e.colour)].add(e);
    std::uint64_t used = 0;
    for (const ColourMoments& m : cells) used += m.n > 0 ? 1 : 0;
    if (!out.allocate(used)) return false;
    std::size_t n = 0;
    for (const ColourMoments& m : cells) {
        if (m.n > 0) out[n++] = {m.mean(), static_cast<std::uint32_t>(m.n)};
    }
    std::sort(out.begin(), out.end(), [](const ColourCount& a, const ColourCount& b) { return a.colour < b.colour; });
    return true;
}

bool occupiedCells(std::span<const ColourCount> histogram, HeapArray<std::uint8_t>& cells) {
    HeapArray<std::uint8_t> own;
    if (!own.allocate(4096) || !cells.allocate(4096)) return false;
    for (const ColourCount& e : histogram) {
        own[((e.colour & 0xFF) >> 4) | (((e.colour >> 8) & 0xFF) >> 4) << 4 | (((e.colour >> 16) & 0xFF) >> 4) << 8] = 1;
    }
    for (int cell = 0; cell < 4096; ++cell) {
        if (own[static_cast<std::size_t>(cell)] == 0) continue;
        const int r = cell & 15, g = (cell >> 4) & 15, b = cell >> 8;
        for (int dr = -1; dr <= 1; ++dr) {
            for (int dg = -1; dg <= 1; ++dg) {
                for (int db = -1; db <= 1; ++db) {
                    const int nr = r + dr, ng = g + dg, nb = b + db;
                    if (nr < 0 || ng < 0 || nb < 0 || nr > 15 || ng > 15 || nb > 15) continue;
                    cells[static_cast<std::size_t>(nr | ng << 4 | nb << 8)] = 1;
                }
            }
        }
    }
    return true;
}

bool refineByKMeans(std::span<const ColourCount> histogram, HeapArray<std::uint32_t>& palette, int iterations) {
    HeapArray<ColourMoments> clusters;
    if (!clusters.allocate(palette.size())) return false;
    NearestColour nearest;
    HeapArray<std::uint8_t> wanted;
    if (!occupiedCells(histogram, wanted)) return false;
    for (int step = 0; step < iterations; ++step) {
        if (!nearest.build(palette.span(), wanted.span())) return false;
        std::fill(clusters.begin(), clusters.end(), ColourMoments{});
        for (const ColourCount& e : histogram) clusters[nearest.nearest(e.colour)].add(e);
        bool moved = false;
        for (std::size_t i = 0; i < palette.size(); ++i) {
            if (clusters[i].n == 0) continue;
            const std::uint32_t mean = clusters[i].mean();
            moved = moved || mean != palette[i];
            palette[i] = mean;
        }
        if (!moved) break;
    }
    return true;
}

}  // namespace qm5
