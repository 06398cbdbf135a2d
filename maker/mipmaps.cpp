#include "maker/mipmaps.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "maker/reports.hpp"

namespace qm5 {

namespace {

constexpr std::uint32_t channelA(std::uint32_t colour) { return (colour >> 16) & 0xFF; }
constexpr std::uint32_t channelB(std::uint32_t colour) { return (colour >> 8) & 0xFF; }
constexpr std::uint32_t channelC(std::uint32_t colour) { return colour & 0xFF; }

std::uint32_t squaredDistance(std::uint32_t colour, std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    const auto da = static_cast<std::int32_t>(channelA(colour)) - static_cast<std::int32_t>(a);
    const auto db = static_cast<std::int32_t>(channelB(colour)) - static_cast<std::int32_t>(b);
    const auto dc = static_cast<std::int32_t>(channelC(colour)) - static_cast<std::int32_t>(c);
    return static_cast<std::uint32_t>(da * da + db * db + dc * dc);
}

// Among entries at the smallest squared distance q, the scan of nearestColour
// ends on the last one exactly when sqrt(q) lies below its single-precision
// rounding: each tie then compares below the held best and replaces it.
// Entries at other distances never disturb this: neighbouring integer
// squares differ in root by more than 1/900, far above the rounding error
// of a float near 442 (about 3e-5), so a farther entry never compares below
// the held best and a nearer one always does.
bool laterTieWins(std::uint32_t q) {
    const double root = std::sqrt(static_cast<double>(q));
    return root < static_cast<double>(static_cast<float>(root));
}

// Below this many colours a scan costs no more than a grid search.
constexpr std::int32_t kScanLimit = 32;
constexpr unsigned kMemoBits = 16;

}  // namespace

bool isPowerOfTwoSize(std::int32_t width, std::int32_t height) {
    return width > 0 && height > 0 && std::has_single_bit(static_cast<std::uint32_t>(width)) &&
           std::has_single_bit(static_cast<std::uint32_t>(height));
}

std::int32_t mipmapLevelCount(std::int32_t width, std::int32_t height) {
    if (!isPowerOfTwoSize(width, height)) return 0;
    return std::countr_zero(static_cast<std::uint32_t>(std::min(width, height)));
}

std::int32_t nearestColour(std::uint32_t a, std::uint32_t b, std::uint32_t c, const ColourTable& table) {
    float best = 65536.0f;  // above every distance, at most sqrt(3 * 255^2)
    std::int32_t bestIndex = 0;
    for (std::int32_t e = 0; e < table.count(); ++e) {
        const double root = std::sqrt(static_cast<double>(squaredDistance(table.colourAt(e), a, b, c)));
        if (root < best) {
            best = static_cast<float>(root);
            bestIndex = e;
        }
    }
    return bestIndex;
}

NearestColourFinder::NearestColourFinder(const ColourTable& table) : table_(table) {
    const std::int32_t count = table.count();
    if (count <= kScanLimit) return;
    // About one to a few colours per cell.
    shift_ = count <= 512 ? 5 : count <= 8192 ? 4 : 3;
    const std::int32_t cells = 256 >> shift_;
    const auto cellCount = static_cast<std::size_t>(cells) * cells * cells;
    if (!cellStart_.allocate(cellCount + 1) || !cellIndex_.allocate(static_cast<std::size_t>(count)) ||
        !cellColour_.allocate(static_cast<std::size_t>(count))) {
        cellStart_.reset();
        cellIndex_.reset();
        cellColour_.reset();
        return;
    }
    const auto cellOf = [this, cells](std::uint32_t colour) {
        return (static_cast<std::size_t>(channelA(colour) >> shift_) * cells + (channelB(colour) >> shift_)) * cells +
               (channelC(colour) >> shift_);
    };
    // Counting sort by cell; ascending indices stay ascending within a cell.
    const std::span<const std::uint32_t> colours = table.colours();
    for (const std::uint32_t colour : colours) ++cellStart_[cellOf(colour) + 1];
    for (std::size_t i = 1; i <= cellCount; ++i) cellStart_[i] += cellStart_[i - 1];
    for (std::int32_t e = 0; e < count; ++e) {
        const std::size_t cell = cellOf(colours[static_cast<std::size_t>(e)]);
        const auto slot = static_cast<std::size_t>(cellStart_[cell]++);
        cellIndex_[slot] = e;
        cellColour_[slot] = colours[static_cast<std::size_t>(e)];
    }
    // Each start was advanced to the next cell's start: shift them back.
    for (std::size_t i = cellCount; i > 0; --i) cellStart_[i] = cellStart_[i - 1];
    cellStart_[0] = 0;
    cells_ = cells;
    if (!memo_.allocate(std::uint64_t{1} << kMemoBits)) memo_.reset();
}

std::int32_t NearestColourFinder::find(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    if (a > 255 || b > 255 || c > 255) return nearestColour(a, b, c, table_);
    if (memo_.empty()) return search(a, b, c);
    const std::uint32_t key = (a << 16) | (b << 8) | c;
    // One remembered answer per slot; a collision just replaces it.
    const auto slot = static_cast<std::size_t>((std::uint64_t{key} * 0x9E3779B97F4A7C15ull) >> (64 - kMemoBits));
    const std::uint64_t tag = std::uint64_t{key} + 1;
    const std::uint64_t entry = memo_[slot];
    if ((entry >> 32) == tag) return static_cast<std::int32_t>(entry & 0xFFFFFFFFu);
    const std::int32_t index = search(a, b, c);
    memo_[slot] = (tag << 32) | static_cast<std::uint32_t>(index);
    return index;
}

// Longer than most: the search outward from the query's cell keeps its
// bounds and best distance across the shells it visits, in one loop.
std::int32_t NearestColourFinder::search(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    if (cells_ == 0) return nearestColour(a, b, c, table_);

    const std::int32_t cells = cells_;
    const std::int32_t width = 1 << shift_;
    const std::int32_t q[3] = {static_cast<std::int32_t>(a >> shift_), static_cast<std::int32_t>(b >> shift_),
                               static_cast<std::int32_t>(c >> shift_)};
    const std::int32_t v[3] = {static_cast<std::int32_t>(a), static_cast<std::int32_t>(b),
                               static_cast<std::int32_t>(c)};
    // Squared distance along one channel from the query to a cell's span.
    const auto gap = [width, shift = shift_](std::int32_t value, std::int32_t cell) {
        const std::int32_t lo = cell << shift;
        const std::int32_t hi = lo + width - 1;
        const std::int32_t d = value < lo ? lo - value : value > hi ? value - hi : 0;
        return static_cast<std::uint32_t>(d * d);
    };

    std::uint32_t best = std::numeric_limits<std::uint32_t>::max();
    std::int32_t first = -1;
    std::int32_t last = -1;
    // Every entry at the smallest distance is seen (cells are skipped only
    // when strictly farther), so both the first and the last tie are known.
    const auto visit = [&](std::int32_t x, std::int32_t y, std::int32_t z, std::uint32_t bound) {
        if (bound > best) return;
        const std::size_t cell = (static_cast<std::size_t>(x) * cells + static_cast<std::size_t>(y)) * cells +
                                 static_cast<std::size_t>(z);
        const auto end = static_cast<std::size_t>(cellStart_[cell + 1]);
        for (auto i = static_cast<std::size_t>(cellStart_[cell]); i < end; ++i) {
            const std::uint32_t d = squaredDistance(cellColour_[i], a, b, c);
            const std::int32_t e = cellIndex_[i];
            if (d < best) {
                best = d;
                first = last = e;
            } else if (d == best) {
                first = std::min(first, e);
                last = std::max(last, e);
            }
        }
    };

    // Shells of cells at Chebyshev radius r around the query's cell.
    for (std::int32_t r = 0;; ++r) {
        const std::int32_t x0 = std::max(0, q[0] - r), x1 = std::min(cells - 1, q[0] + r);
        const std::int32_t y0 = std::max(0, q[1] - r), y1 = std::min(cells - 1, q[1] + r);
        const std::int32_t z0 = std::max(0, q[2] - r), z1 = std::min(cells - 1, q[2] + r);
        for (std::int32_t x = x0; x <= x1; ++x) {
            const std::uint32_t gx = gap(v[0], x);
            for (std::int32_t y = y0; y <= y1; ++y) {
                const std::uint32_t gxy = gx + gap(v[1], y);
                if (gxy > best) continue;
                if (x == q[0] - r || x == q[0] + r || y == q[1] - r || y == q[1] + r) {
                    for (std::int32_t z = z0; z <= z1; ++z) visit(x, y, z, gxy + gap(v[2], z));
                } else {
                    if (q[2] - r >= 0) visit(x, y, q[2] - r, gxy + gap(v[2], q[2] - r));
                    if (r > 0 && q[2] + r < cells) visit(x, y, q[2] + r, gxy + gap(v[2], q[2] + r));
                }
            }
        }
        // Anything not yet seen lies outside the searched cube along an axis
        // where the cube does not reach the edge of the colour space.
        std::int32_t outside = std::numeric_limits<std::int32_t>::max();
        for (int axis = 0; axis < 3; ++axis) {
            if (q[axis] - r > 0) outside = std::min(outside, v[axis] - ((q[axis] - r) << shift_) + 1);
            if (q[axis] + r < cells - 1) outside = std::min(outside, ((q[axis] + r + 1) << shift_) - v[axis]);
        }
        if (outside == std::numeric_limits<std::int32_t>::max()) break;
        if (static_cast<std::uint32_t>(outside * outside) > best) break;
    }
    if (first < 0) return 0;
    return laterTieWins(best) ? last : first;
}

bool halvePicture(const Picture& source, NearestColourFinder& nearest, Picture& out) {
    Picture half;
    if (!half.allocate(source.width / 2, source.height / 2)) return false;
    const ColourTable& table = nearest.table();
    for (std::int32_t y = 0; y < half.height; ++y) {
        for (std::int32_t x = 0; x < half.width; ++x) {
            std::uint32_t sumA = 0, sumB = 0, sumC = 0;
            for (const std::uint32_t index : {source.at(2 * x, 2 * y), source.at(2 * x + 1, 2 * y),
                                              source.at(2 * x, 2 * y + 1), source.at(2 * x + 1, 2 * y + 1)}) {
                // An index beyond the table reads as colour 0, as colourAt gives.
                const std::uint32_t colour =
                    index <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())
                        ? table.colourAt(static_cast<std::int32_t>(index))
                        : 0;
                sumA += channelA(colour);
                sumB += channelB(colour);
                sumC += channelC(colour);
            }
            half.at(x, y) = static_cast<std::uint32_t>(nearest.find(sumA >> 2, sumB >> 2, sumC >> 2));
        }
    }
    out = std::move(half);
    return true;
}

bool halvePicture(const Picture& source, const ColourTable& table, Picture& out) {
    NearestColourFinder nearest(table);
    return halvePicture(source, nearest, out);
}

bool buildMipmaps(Console& console, std::span<const Picture> pictures, const ColourTable& table, MipmapLevels& out) {
    constexpr const char* kProgress = "\rCreating MipMaps [%2d / %2d : %3d %%]";
    out.clear();
    std::int32_t levels = 0;
    if (!pictures.empty()) {
        const std::int32_t width = pictures[0].width;
        const std::int32_t height = pictures[0].height;
        if (!isPowerOfTwoSize(width, height)) {
            reportError(console, "Bitmaps must be power-of-two size !");
            reportError(console, "Skipping mipmaps !");
        } else {
            levels = mipmapLevelCount(width, height);
            console.print(" %d MipMaps to do ..", levels);
        }
    }
    const auto outOfMemory = [&console, &out] {
        console.print("\n");  // the caller's report starts no line of its own
        out.clear();
        return false;
    };

    if (levels > 0) {
        const std::size_t n = pictures.size();
        const std::size_t total = n * static_cast<std::size_t>(levels);
        out.levels.reset(new (std::nothrow) Picture[total]);
        if (!out.levels) return outOfMemory();
        out.levelCount = levels;
        out.pictureCount = n;

        const std::uint64_t whole = std::uint64_t{n} * static_cast<std::uint64_t>(levels);
        const auto percent = [whole](std::uint64_t done) { return static_cast<int>(done * 100 / whole); };
        NearestColourFinder nearest(table);
        for (std::size_t p = 0; p < n; ++p) {
            const std::uint64_t before = std::uint64_t{p} * static_cast<std::uint64_t>(levels);
            console.print(kProgress, 0, levels, percent(before));
            if (!halvePicture(pictures[p], nearest, out.level(p, 1))) return outOfMemory();
            for (std::int32_t k = 2; k <= levels; ++k) {
                if (!halvePicture(out.level(p, k - 1), nearest, out.level(p, k))) return outOfMemory();
                console.print(kProgress, k - 1, levels, percent(before + static_cast<std::uint64_t>(k - 1)));
            }
        }
    }
    console.print("\rCreating MipMaps [%2d / %2d : %3d %%]\n", levels, levels, 100);
    return true;
}

}  // namespace qm5
