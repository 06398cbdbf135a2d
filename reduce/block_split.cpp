#include "reduce/block_split.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <new>

#include "core/parallel_parts.hpp"
#include "reduce/picture_error.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

constexpr int kTileBits = 8;
constexpr int kMaxBits = kMaxPositionBits;

enum Decision : std::uint8_t { kLeaf, kSplitX, kSplitY, kEmpty };

// A block: its best cost, and the sums of its pixels' weights (n) and of
// their channels times their weights.
template <class Sum>
struct Node {
    std::int64_t cost = 0;
    Sum r = 0;
    Sum g = 0;
    Sum b = 0;
    Sum n = 0;
};

// Every aligned block of a grid of 2^xBits x 2^yBits cells: level (i, j)
// holds the blocks of 2^i x 2^j cells, row-major, with the best cost of
// each, its decision, and its colour when it is one block.
template <class Sum>
class Pyramid {
public:
    // Every entry is written before it is read: memory is kept from one
    // split to the next of the same size, not cleared.
    [[nodiscard]] bool allocate(int xBits, int yBits) {
        if (!nodes_.empty() && xBits == xBits_ && yBits == yBits_) return true;
        xBits_ = xBits;
        yBits_ = yBits;
        std::uint64_t total = 0;
        for (int i = 0; i <= xBits; ++i) {
            for (int j = 0; j <= yBits; ++j) {
                offset_[i][j] = total;
                total += std::uint64_t{1} << (xBits - i + yBits - j);
            }
        }
        return nodes_.allocate(total) && decisions_.allocate(total) && colours_.allocate(total);
    }
    static std::uint64_t bytes(int xBits, int yBits) {
        const std::uint64_t cells = std::uint64_t{1} << (xBits + yBits);
        return 4 * cells * (sizeof(Node<Sum>) + 1 + sizeof(std::uint32_t));
    }
    int xBits() const { return xBits_; }
    int yBits() const { return yBits_; }
    std::size_t at(int i, int j, std::uint64_t col, std::uint64_t row) const {
        return static_cast<std::size_t>(offset_[i][j] + (row << (xBits_ - i)) + col);
    }
    Node<Sum>& node(std::size_t k) { return nodes_[k]; }
    std::uint8_t& decision(std::size_t k) { return decisions_[k]; }
    std::uint32_t& colour(std::size_t k) { return colours_[k]; }

private:
    int xBits_ = 0;
    int yBits_ = 0;
    std::array<std::array<std::uint64_t, kMaxBits + 1>, kMaxBits + 1> offset_{};
    HeapArray<Node<Sum>> nodes_;
    HeapArray<std::uint8_t> decisions_;
    HeapArray<std::uint32_t> colours_;
};

// The cost of painting a block with one colour: its squared error (less the
// block's sum of squares, the same for every choice, so that costs add)
// plus a cube unless the colour is the free one.
struct LeafPricer {
    const BlockPalette* palette = nullptr;
    std::int64_t cubeCost = 0;
    std::uint32_t freeColour = kNoFreeColour;

    static std::int64_t errorOf(std::uint32_t c, std::int64_t r, std::int64_t g, std::int64_t b, std::int64_t n) {
        const std::int64_t cr = redOf(c), cg = greenOf(c), cb = blueOf(c);
        return kLambdaScale * (n * (cr * cr + cg * cg + cb * cb) - 2 * (r * cr + g * cg + b * cb));
    }

    // A block of one pixel, whose nearest colour is given.
    template <class Sum>
    void priceCell(Pyramid<Sum>& pyramid, std::size_t k, std::uint32_t nearest) const {
        if (pyramid.node(k).n == 0) {
            pyramid.node(k).cost = 0;
            pyramid.decision(k) = kEmpty;
            pyramid.colour(k) = 0;
            return;
        }
        finish(pyramid, k, nearest);
    }

    template <class Sum>
    void price(Pyramid<Sum>& pyramid, std::size_t k) const {
        const Node<Sum>& node = pyramid.node(k);
        if (node.n == 0) {
            priceCell(pyramid, k, 0);
            return;
        }
        // The mean, by a shift for full blocks of equal weights (n a power
        // of two), else through one reciprocal (which may round it down by
        // one: the grid's colour is near the mean, not exact, either way).
        const auto n = static_cast<std::uint64_t>(node.n);
        std::uint32_t r, g, b;
        if ((n & (n - 1)) == 0) {
            const int shift = std::countr_zero(n);
            r = static_cast<std::uint32_t>(static_cast<std::uint64_t>(node.r) >> shift);
            g = static_cast<std::uint32_t>(static_cast<std::uint64_t>(node.g) >> shift);
            b = static_cast<std::uint32_t>(static_cast<std::uint64_t>(node.b) >> shift);
        } else {
            const std::uint64_t inverse = (std::uint64_t{1} << 32) / n;
            r = static_cast<std::uint32_t>((static_cast<std::uint64_t>(node.r) * inverse) >> 32);
            g = static_cast<std::uint32_t>((static_cast<std::uint64_t>(node.g) * inverse) >> 32);
            b = static_cast<std::uint32_t>((static_cast<std::uint64_t>(node.b) * inverse) >> 32);
        }
        finish(pyramid, k, palette->nearMean(r, g, b));
    }

    template <class Sum>
    void finish(Pyramid<Sum>& pyramid, std::size_t k, std::uint32_t c) const {
        Node<Sum>& node = pyramid.node(k);
        const std::span<const std::uint32_t> colours = palette->colours();
        std::int64_t cost = errorOf(colours[c], node.r, node.g, node.b, node.n) + (c == freeColour ? 0 : cubeCost);
        if (freeColour != kNoFreeColour && c != freeColour) {
            const std::int64_t freeCost = errorOf(colours[freeColour], node.r, node.g, node.b, node.n);
            if (freeCost < cost) {
                cost = freeCost;
                c = freeColour;
            }
        }
        node.cost = cost;
        pyramid.decision(k) = kLeaf;
        pyramid.colour(k) = c;
    }
};

// Fills every level above (0, 0), whose nodes the caller has priced.
template <class Sum>
void solve(Pyramid<Sum>& pyramid, const LeafPricer& pricer) {
    for (int i = 0; i <= pyramid.xBits(); ++i) {
        for (int j = 0; j <= pyramid.yBits(); ++j) {
            if (i == 0 && j == 0) continue;
            const std::uint64_t cols = std::uint64_t{1} << (pyramid.xBits() - i);
            const std::uint64_t rows = std::uint64_t{1} << (pyramid.yBits() - j);
            for (std::uint64_t row = 0; row < rows; ++row) {
                for (std::uint64_t col = 0; col < cols; ++col) {
                    const std::size_t k = pyramid.at(i, j, col, row);
                    std::int64_t splitX = 0, splitY = 0;
                    const Node<Sum>* a = nullptr;
                    const Node<Sum>* b = nullptr;
                    if (j > 0) {
                        a = &pyramid.node(pyramid.at(i, j - 1, col, 2 * row));
                        b = &pyramid.node(pyramid.at(i, j - 1, col, 2 * row + 1));
                        splitY = a->cost + b->cost;
                    }
                    if (i > 0) {
                        a = &pyramid.node(pyramid.at(i - 1, j, 2 * col, row));
                        b = &pyramid.node(pyramid.at(i - 1, j, 2 * col + 1, row));
                        splitX = a->cost + b->cost;
                    }
                    Node<Sum>& node = pyramid.node(k);
                    node.r = a->r + b->r;
                    node.g = a->g + b->g;
                    node.b = a->b + b->b;
                    node.n = a->n + b->n;
                    pricer.price(pyramid, k);
                    // Ties go to the fewer blocks, then to x before y.
                    if (i > 0 && splitX < node.cost) {
                        node.cost = splitX;
                        pyramid.decision(k) = kSplitX;
                    }
                    if (j > 0 && splitY < node.cost) {
                        node.cost = splitY;
                        pyramid.decision(k) = kSplitY;
                    }
                }
            }
        }
    }
}

// Positions: p = (hi << lowBits) + lo for the x part lo and the y part hi.
struct Positions {
    std::uint64_t count = 0;
    int lowBits = 0;
    int highBits = 0;

    std::uint64_t of(std::uint64_t lo, std::uint64_t hi) const { return (hi << lowBits) + lo; }
    void fill(std::span<std::uint32_t> indices, std::uint64_t lo, std::uint64_t loCount, std::uint64_t hi,
              std::uint64_t hiCount, std::uint32_t colour) const {
        for (std::uint64_t y = hi; y < hi + hiCount; ++y) {
            const std::uint64_t first = of(lo, y);
            if (first >= count) return;
            const std::uint64_t end = std::min(first + loCount, count);
            std::fill(indices.begin() + static_cast<std::ptrdiff_t>(first), indices.begin() + static_cast<std::ptrdiff_t>(end), colour);
        }
    }
};

struct Walk {
    int i;
    int j;
    std::uint64_t col;
    std::uint64_t row;
};

// Visits the blocks of the best tree from the top: leaf(block, colour) for
// every block of one colour and every cell (level (0, 0)) not empty.
template <class Sum, class Leaf>
void walk(Pyramid<Sum>& pyramid, const Leaf& leaf) {
    // Each split adds one entry: the stack holds at most one per level.
    std::array<Walk, 2 * kMaxBits + 2> stack;
    std::size_t size = 0;
    stack[size++] = {pyramid.xBits(), pyramid.yBits(), 0, 0};
    while (size > 0) {
        const Walk w = stack[--size];
        const std::size_t k = pyramid.at(w.i, w.j, w.col, w.row);
        // Cells are never split (over whole tiles, a cell is a tile).
        if (w.i == 0 && w.j == 0) {
            if (pyramid.decision(k) != kEmpty) leaf(w, pyramid.colour(k));
            continue;
        }
        switch (pyramid.decision(k)) {
            case kEmpty:
                break;
            case kLeaf:
                leaf(w, pyramid.colour(k));
                break;
            case kSplitX:
                stack[size++] = {w.i - 1, w.j, 2 * w.col + 1, w.row};
                stack[size++] = {w.i - 1, w.j, 2 * w.col, w.row};
                break;
            default:
                stack[size++] = {w.i, w.j - 1, w.col, 2 * w.row + 1};
                stack[size++] = {w.i, w.j - 1, w.col, 2 * w.row};
                break;
        }
    }
}

struct TileTop {
    Node<std::int64_t> node;
    std::uint8_t decision = kEmpty;
    std::uint32_t colour = 0;
    std::uint64_t blocks = 0;  // of the tile's own best tree
};

}  // namespace

struct BlockSplitWorkspace::Parts {
    std::array<Pyramid<std::int32_t>, kMaxLoopThreads> tiles;  // one per thread
    Pyramid<std::int64_t> grid;
    HeapArray<TileTop> tops;
};

BlockSplitWorkspace::~BlockSplitWorkspace() { delete parts_; }

std::uint64_t blockSplitMemoryPerThread() { return Pyramid<std::int32_t>::bytes(kTileBits, kTileBits); }

namespace {

// One split's picture, settings and layout of positions into tiles.
struct SplitJob {
    std::span<const std::uint32_t> pixels;
    std::span<const std::uint32_t> nearest;
    const BlockSplitSettings* settings = nullptr;
    std::span<std::uint32_t> indices;
    LeafPricer pricer;
    Positions at;
    int tileX = 0;  // bits of a tile across and down
    int tileY = 0;
    int gridX = 0;  // bits of the grid of tiles across and down
    int gridY = 0;

    // Solves tile t in pyramid, writes its best tree into the indices and
    // its top block into top.
    void solveTile(Pyramid<std::int32_t>& pyramid, std::uint64_t t, TileTop& top) const {
        const std::uint64_t loBase = (t & ((std::uint64_t{1} << gridX) - 1)) << tileX;
        const std::uint64_t hiBase = (t >> gridX) << tileY;
        for (std::uint64_t row = 0; row < (std::uint64_t{1} << tileY); ++row) {
            for (std::uint64_t col = 0; col < (std::uint64_t{1} << tileX); ++col) {
                const std::size_t k = pyramid.at(0, 0, col, row);
                const std::uint64_t p = at.of(loBase + col, hiBase + row);
                Node<std::int32_t>& node = pyramid.node(k);
                node = {};
                if (p < at.count) {
                    const std::int32_t w = settings->weights.empty() ? 1 : settings->weights[p];
                    node.r = w * redOf(pixels[p]);
                    node.g = w * greenOf(pixels[p]);
                    node.b = w * blueOf(pixels[p]);
                    node.n = w;
                }
                pricer.priceCell(pyramid, k, p < at.count ? nearest[p] : 0);
            }
        }
        solve(pyramid, pricer);
        const std::size_t k = pyramid.at(tileX, tileY, 0, 0);
        const Node<std::int32_t>& node = pyramid.node(k);
        top.node = {node.cost, node.r, node.g, node.b, node.n};
        top.decision = pyramid.decision(k);
        top.colour = pyramid.colour(k);
        top.blocks = 0;
        walk(pyramid, [&](const Walk& w, std::uint32_t colour) {
            at.fill(indices, loBase + (w.col << w.i), std::uint64_t{1} << w.i, hiBase + (w.row << w.j),
                    std::uint64_t{1} << w.j, colour);
            if (colour != settings->freeColour) ++top.blocks;
        });
    }

    // The best tree over whole tiles (whose own trees are in the indices).
    [[nodiscard]] bool solveGrid(Pyramid<std::int64_t>& grid, std::span<const TileTop> tops, BlockSplitResult& result) const {
        if (!grid.allocate(gridX, gridY)) return false;
        for (std::uint64_t t = 0; t < tops.size(); ++t) {
            const std::size_t k = grid.at(0, 0, t & ((std::uint64_t{1} << gridX) - 1), t >> gridX);
            grid.node(k) = tops[t].node;
            grid.decision(k) = tops[t].decision;
            grid.colour(k) = tops[t].colour;
        }
        solve(grid, pricer);
        walk(grid, [&](const Walk& w, std::uint32_t colour) {
            if (w.i == 0 && w.j == 0) {
                result.blocks += tops[(w.row << gridX) + w.col].blocks;
                return;
            }
            at.fill(indices, (w.col << w.i) << tileX, std::uint64_t{1} << (w.i + tileX), (w.row << w.j) << tileY,
                    std::uint64_t{1} << (w.j + tileY), colour);
            if (colour != settings->freeColour) ++result.blocks;
        });
        return true;
    }
};

}  // namespace

bool splitIntoBlocks(std::span<const std::uint32_t> pixels, std::span<const std::uint32_t> nearest, std::int32_t width,
                     const BlockPalette& palette, const BlockSplitSettings& settings, BlockSplitWorkspace& workspace,
                     std::span<std::uint32_t> indices, BlockSplitResult& result) {
    result = {};
    if (workspace.parts_ == nullptr) workspace.parts_ = new (std::nothrow) BlockSplitWorkspace::Parts;
    if (workspace.parts_ == nullptr) return false;
    BlockSplitWorkspace::Parts& parts = *workspace.parts_;
    SplitJob job{pixels, nearest, &settings, indices, {}, {}};
    job.at.count = pixels.size();
    const int b = positionBitCount(job.at.count);
    job.at.lowBits = std::min(b, static_cast<int>(std::bit_width(static_cast<std::uint32_t>(std::max(width, 1)))) - 1);
    job.at.highBits = b - job.at.lowBits;
    job.tileX = std::min(job.at.lowBits, kTileBits);
    job.tileY = std::min(job.at.highBits, kTileBits);
    job.gridX = job.at.lowBits - job.tileX;
    job.gridY = job.at.highBits - job.tileY;
    job.pricer = {&palette, settings.lambda * 2 * b, settings.freeColour};
    const std::uint64_t tiles = std::uint64_t{1} << (job.gridX + job.gridY);

    HeapArray<TileTop>& tops = parts.tops;
    if (tops.size() != tiles && !tops.allocate(tiles)) return false;
    const unsigned threads = static_cast<unsigned>(std::min<std::uint64_t>(std::max(settings.threads, 1u), tiles));
    std::array<bool, kMaxLoopThreads> failed{};
    parallelParts(threads, tiles, [&](unsigned part, std::uint64_t begin, std::uint64_t end) {
        Pyramid<std::int32_t>& pyramid = parts.tiles[part];
        failed[part] = !pyramid.allocate(job.tileX, job.tileY);
        for (std::uint64_t t = begin; t < end && !failed[part]; ++t) job.solveTile(pyramid, t, tops[t]);
    });
    for (unsigned part = 0; part < threads; ++part) {
        if (failed[part]) return false;
    }
    return job.solveGrid(parts.grid, tops.span(), result);
}

}  // namespace qm5
