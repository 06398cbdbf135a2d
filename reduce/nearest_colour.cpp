#include "reduce/nearest_colour.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace qm5 {

namespace {

// Squared distances from v to the nearest and the farthest point of the
// interval [low, low + side] on one channel.
constexpr std::int32_t nearSquared(std::int32_t v, std::int32_t low, std::int32_t side) {
    const std::int32_t d = v < low ? low - v : (v > low + side ? v - low - side : 0);
    return d * d;
}
constexpr std::int32_t farSquared(std::int32_t v, std::int32_t low, std::int32_t side) {
    const std::int32_t d = std::max(v > low ? v - low : low - v, v > low + side ? v - low - side : low + side - v);
    return d * d;
}

// The candidate lists of one grid level: cell c's are items[start[c] .. start[c + 1]).
struct CellLists {
    HeapArray<std::uint32_t> start;
    HeapArray<std::uint32_t> items;
};

// The lists of the cells of a grid of 2^bits a side, each cell's candidates
// taken from those of its parent cell (a grid of half the side; all colours
// when parent is null): the colours no farther from the cell than the least
// farthest distance. A cell's candidates are among its parent's because the
// cell lies inside it. Cells that want(cell) refuses get empty lists.
template <class Want>
bool listCells(std::span<const std::uint32_t> palette, int bits, const CellLists* parent, const Want& want,
               CellLists& out) {
    const std::uint32_t cells = std::uint32_t{1} << (3 * bits);
    const std::uint32_t mask = (std::uint32_t{1} << bits) - 1;
    const std::int32_t side = 256 >> bits;
    if (!out.start.allocate(cells + 1)) return false;
    std::uint64_t total = 0;
    for (std::uint32_t cell = 0; cell < cells; ++cell) {
        out.start[cell] = static_cast<std::uint32_t>(total);
        if (!want(cell)) continue;
        const std::int32_t lr = static_cast<std::int32_t>(cell & mask) * side;
        const std::int32_t lg = static_cast<std::int32_t>((cell >> bits) & mask) * side;
        const std::int32_t lb = static_cast<std::int32_t>(cell >> (2 * bits)) * side;
        const std::uint32_t* from = nullptr;
        std::uint32_t count = static_cast<std::uint32_t>(palette.size());
        if (parent != nullptr) {
            const std::uint32_t up = ((cell & mask) >> 1) | (((cell >> bits) & mask) >> 1) << (bits - 1) |
                                     ((cell >> (2 * bits)) >> 1) << (2 * bits - 2);
            from = parent->items.data() + parent->start[up];
            count = parent->start[up + 1] - parent->start[up];
        }
        const auto index = [&](std::uint32_t i) { return from == nullptr ? i : from[i]; };
        std::int32_t bound = std::numeric_limits<std::int32_t>::max();
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t c = palette[index(i)];
            bound = std::min(bound, farSquared(redOf(c), lr, side) + farSquared(greenOf(c), lg, side) +
                                        farSquared(blueOf(c), lb, side));
        }
        if (out.items.size() - total < count && !out.items.resize(std::max<std::uint64_t>(2 * out.items.size(), total + count))) {
            return false;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t c = palette[index(i)];
            if (nearSquared(redOf(c), lr, side) + nearSquared(greenOf(c), lg, side) + nearSquared(blueOf(c), lb, side) <=
                bound) {
                out.items[total++] = index(i);
            }
        }
        if (total > 0xFFFFFFFFu) return false;
    }
    out.start[cells] = static_cast<std::uint32_t>(total);
    return true;
}

}  // namespace

bool NearestColour::build(std::span<const std::uint32_t> palette, std::span<const std::uint8_t> wanted) {
    const std::size_t k = palette.size();
    if (!palette_.allocate(k) || !norms_.allocate(k)) return false;
    for (std::size_t i = 0; i < k; ++i) {
        palette_[i] = palette[i];
        const std::int64_t r = redOf(palette[i]), g = greenOf(palette[i]), b = blueOf(palette[i]);
        norms_[i] = r * r + g * g + b * b;
    }
    // Coarse to fine: 8, 16, then 32 cells a side; lists keep index order.
    CellLists coarse, middle, fine;
    const auto wantedMiddle = [&](std::uint32_t cell) { return wanted.empty() || wanted[cell] != 0; };
    const auto overWanted = [&](std::uint32_t cell) {
        // Any of the 8 cells of 16 a side inside this one of 8 a side.
        const std::uint32_t r = (cell & 7) << 1, g = ((cell >> 3) & 7) << 1, b = (cell >> 6) << 1;
        for (std::uint32_t k = 0; k < 8; ++k) {
            if (wantedMiddle((r + (k & 1)) | (g + ((k >> 1) & 1)) << 4 | (b + (k >> 2)) << 8)) return true;
        }
        return false;
    };
    const auto underWanted = [&](std::uint32_t cell) {
        constexpr std::uint32_t mask = (1u << kCellBits) - 1;
        return wantedMiddle(((cell & mask) >> 1) | (((cell >> kCellBits) & mask) >> 1) << 4 |
                            ((cell >> (2 * kCellBits)) >> 1) << 8);
    };
    if (!listCells(palette, 3, nullptr, overWanted, coarse) || !listCells(palette, 4, &coarse, wantedMiddle, middle) ||
        !listCells(palette, kCellBits, &middle, underWanted, fine) || !listed_.allocate(kCells)) {
        return false;
    }
    for (std::uint32_t cell = 0; cell < kCells; ++cell) listed_[cell] = underWanted(cell) ? 1 : 0;
    cellStart_ = std::move(fine.start);
    candidates_ = std::move(fine.items);
    return true;
}

std::uint32_t NearestColour::nearestToMean(std::int64_t r, std::int64_t g, std::int64_t b, std::int64_t n) const {
    // The mean lies in the cell of its integer part.
    const auto cellOf = [n](std::int64_t sum) { return static_cast<int>(std::min<std::int64_t>(sum / n, 255) >> (8 - kCellBits)); };
    const std::size_t cell = static_cast<std::size_t>(cellOf(r) | (cellOf(g) << kCellBits) | (cellOf(b) << (2 * kCellBits)));
    std::uint32_t best = 0;
    std::int64_t bestCost = std::numeric_limits<std::int64_t>::max();
    const auto consider = [&](std::uint32_t i) {
        const std::uint32_t c = palette_[i];
        const std::int64_t cost = n * norms_[i] - 2 * (r * redOf(c) + g * greenOf(c) + b * blueOf(c));
        if (cost < bestCost) {
            bestCost = cost;
            best = i;
        }
    };
    if (listed_[cell] == 0) {
        // A cell left out: every colour.
        for (std::uint32_t i = 0; i < palette_.size(); ++i) consider(i);
        return best;
    }
    for (std::uint32_t k = cellStart_[cell]; k < cellStart_[cell + 1]; ++k) consider(candidates_[k]);
    return best;
}

bool BlockPalette::build(const NearestColour& nearest) {
    colours_ = nearest.palette();
    constexpr std::uint32_t kCells = 32 * 32 * 32;
    constexpr std::uint16_t kUnknown = 0xFFFF;  // no palette has that many colours
    if (!grid_.allocate(kCells)) return false;
    const auto centre = [](std::uint32_t cell) {
        const auto at = [cell](int ch) { return static_cast<std::int32_t>(((cell >> (5 * ch)) & 31) * 8 + 4); };
        return rgb(at(0), at(1), at(2));
    };
    for (std::uint32_t cell = 0; cell < kCells; ++cell) {
        const std::uint32_t c = centre(cell);
        grid_[cell] = nearest.listed(c) ? static_cast<std::uint16_t>(nearest.nearest(c)) : kUnknown;
    }
    // Cells far from every pixel: the nearest of their neighbours' colours,
    // sweeping forwards then backwards; block means seldom fall there.
    for (int sweep = 0; sweep < 2; ++sweep) {
        for (std::uint32_t step = 0; step < kCells; ++step) {
            const std::uint32_t cell = sweep == 0 ? step : kCells - 1 - step;
            if (!nearest.listed(centre(cell)) || grid_[cell] == kUnknown) {
                std::uint16_t best = grid_[cell];
                for (int ch = 0; ch < 3; ++ch) {
                    const std::uint32_t coordinate = (cell >> (5 * ch)) & 31;
                    if (sweep == 0 ? coordinate == 0 : coordinate == 31) continue;
                    const std::uint32_t other = sweep == 0 ? cell - (1u << (5 * ch)) : cell + (1u << (5 * ch));
                    const std::uint16_t c = grid_[other];
                    if (c != kUnknown && (best == kUnknown || colourDistance(colours_[c], centre(cell)) <
                                                                  colourDistance(colours_[best], centre(cell)))) {
                        best = c;
                    }
                }
                grid_[cell] = best;
            }
        }
    }
    for (std::uint32_t cell = 0; cell < kCells; ++cell) {
        if (grid_[cell] == kUnknown) grid_[cell] = static_cast<std::uint16_t>(nearest.nearest(centre(cell)));
    }
    return true;
}

}  // namespace qm5
