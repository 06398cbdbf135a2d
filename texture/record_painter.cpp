// The painter in one file (texture/record_painter.hpp says how it works):
// the walk, the small cubes' path and the cells they paint call one another
// once or more per cube, and kept in one unit the compiler inlines them
// into each other; split across files (without link-time optimisation)
// each would become a call per cube.
#include "texture/record_painter.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "texture/position_masks.hpp"

namespace qm5 {

namespace {

using namespace position_masks;

std::uint64_t ceilDiv64(std::uint64_t n) { return (n + 63) >> kLevelDigits; }

// The two lowest digits of free (0 where it has fewer) and the rest: the
// words four at a time, the walk over the rest.
struct LowTwoDigits {
    std::uint64_t d1, d2, rest;
};
inline LowTwoDigits lowTwoDigits(std::uint64_t free) {
    const std::uint64_t d1 = free & (~free + 1);
    const std::uint64_t d2 = (free & ~d1) & (~(free & ~d1) + 1);
    return {d1, d2, free & ~d1 & ~d2};
}

}  // namespace

template <class Cell>
bool BasicRecordPainter<Cell>::start(std::uint64_t pixelCount, Cell* cells, std::uint64_t maxSteps) {
    cells_ = cells;
    pixelCount_ = pixelCount;
    bits_ = positionBitCount(pixelCount);
    steps_ = 0;
    maxSteps_ = maxSteps;
    overBudget_ = false;
    freshRun_ = 0;
    complete_ = pixelCount == 0;
    words_.reset();
    done_.reset();
    if (complete_) return true;
    pictureDigits_ = (std::uint64_t{1} << bits_) - 1;
    const int wordDigits = std::max(bits_ - kLevelDigits, 0);
    levels_ = std::max(1, (wordDigits + kLevelDigits - 1) / kLevelDigits);
    std::uint64_t count[kMaxLevels + 1];
    count[0] = ceilDiv64(pixelCount);
    std::uint64_t total = 0;
    for (int level = 1; level <= levels_; ++level) {
        count[level] = ceilDiv64(count[level - 1]);
        levelStart_[level] = total;
        total += count[level];
    }
    if (!words_.allocate(count[0]) || !done_.allocate(total) || !lacking_.allocate(count[1] << kLevelDigits)) {
        return false;
    }
    std::fill(lacking_.begin(), lacking_.end(), kAll);
    // Positions past the picture count as painted, and children past the
    // last of a level as complete: no cube reaches them.
    for (int level = 1; level <= levels_; ++level) {
        const std::uint64_t children = count[level - 1] - ((count[level] - 1) << kLevelDigits);
        if (children < 64) done_[levelStart_[level] + count[level] - 1] = kAll << children;
    }
    const std::uint64_t lastNode = count[1] - 1;
    for (int l = 0; l < 64; ++l) lacking_[lastNode << kLevelDigits | l] = ~done_[levelStart_[1] + lastNode];
    if ((pixelCount & 63) != 0) {
        const std::uint64_t word = count[0] - 1;
        words_[word] = kAll << (pixelCount & 63);
        for (int l = static_cast<int>(pixelCount & 63); l < 64; ++l) {
            lacking_[lastNode << kLevelDigits | l] &= ~(std::uint64_t{1} << (word & 63));
        }
    }
    return true;
}

template <class Cell>
bool BasicRecordPainter<Cell>::toPicture(CubeMasks cube, int b, std::uint64_t& care, std::uint64_t& one) const {
    if ((cube.zero & cube.one) != 0) return false;  // a bit in both masks: the cube covers nothing
    std::uint64_t zero = cube.zero;
    one = cube.one;
    // A record's b may differ from the picture's: positions from 2^b_picture
    // on lie past the picture, and a b_record-bit position has 0 in every
    // digit from b_record on.
    if (b > bits_) {
        if ((one & ~pictureDigits_) != 0) return false;
        zero &= pictureDigits_;
    } else {
        zero |= pictureDigits_ & ~((std::uint64_t{1} << b) - 1);
    }
    care = zero | one;
    return true;
}

template <class Cell>
void BasicRecordPainter<Cell>::prepare(std::uint64_t care, std::uint64_t one, Shape& shape) const {
    for (int level = 0; level <= levels_; ++level) {
        const int shift = kLevelDigits * level;
        shape.masks[level] = childMask(care >> shift, one >> shift);
    }
    shape.byLane = kGroupSize[care & 63] < kGroupSize[(care >> kLevelDigits) & 63];
    shape.laneCount = kGroupSize[care & 63];
}

// A cube that leaves few word digits free allows few words: they are found
// from their indices, as many steps as words, where the walk from the root
// would take a step for each node above them as well.
template <class Cell>
inline void BasicRecordPainter<Cell>::paintCube(std::uint64_t care, std::uint64_t one, Cell value) {
    if (bitCount(pictureDigits_ & ~care & ~std::uint64_t{63}) <= kFewWordDigits) {
        paintWords(care, one, value);
        return;
    }
    Shape shape;
    prepare(care, one, shape);
    paintShape(shape, value);
}

template <class Cell>
bool BasicRecordPainter<Cell>::paint(CubeMasks cube, int b, Cell value) {
    if (overBudget_) return false;
    std::uint64_t care, one;
    if (!complete_ && toPicture(cube, b, care, one)) paintCube(care, one, value);
    return !overBudget_;
}

// Cubes are stored with each mask's most significant digit first:
// reversing the bits of the record's bytes once (reverseBitsOfBytes) costs
// less than reversing every cube.
template <class Cell>
bool BasicRecordPainter<Cell>::paintRecord(std::span<const std::uint8_t> data, int b, Cell value) {
    const std::uint64_t n = cubeCountOf(data.size(), b);
    const std::size_t length = data.size();
    // The buffer grows to the longest record seen, at least doubling, so
    // that a small texture does not clear 64 KB for it.
    if (b != bits_ || 2 * b + 7 > 64 || length > kMaxRecordDataLength ||
        (reversed_.size() < length + 8 &&
         !reversed_.allocate(std::min<std::uint64_t>(std::max<std::uint64_t>(2 * reversed_.size(), length + 8),
                                                     kMaxRecordDataLength + 8)))) {
        for (std::uint64_t k = 0; k < n && !complete_ && !overBudget_; ++k) {
            // Zero bits that pad the last byte read as cubes with both masks
            // zero when b <= 3; the writer never writes such a cube.
            const CubeMasks cube = readCube(data, b, k);
            std::uint64_t care, one;
            if ((cube.zero != 0 || cube.one != 0) && toPicture(cube, b, care, one)) paintCube(care, one, value);
        }
        return !overBudget_;
    }
    std::uint8_t* const reversed = reversed_.data();
    reverseBitsOfBytes(data, reversed);
    const std::uint64_t low = (std::uint64_t{1} << b) - 1;
    const std::uint64_t width = 2 * static_cast<std::uint64_t>(b);
    for (std::uint64_t k = 0, at = 0; k < n && !complete_ && !overBudget_; ++k, at += width) {
        const std::uint64_t bits = cubeAt(reversed, at, b);
        const std::uint64_t one = bits & low;
        const std::uint64_t zero = (bits >> b) & low;
        // A cube with a bit in both masks covers nothing; one with both
        // masks zero is padding (see CubeMasks).
        if ((zero & one) == 0 && (zero | one) != 0) paintCube(zero | one, one, value);
    }
    return !overBudget_;
}

template <class Cell>
bool BasicRecordPainter<Cell>::paintAll(Cell value) {
    if (overBudget_) return false;
    if (complete_) return true;
    Shape shape;
    std::fill(shape.masks, shape.masks + levels_ + 1, kAll);
    shape.byLane = false;
    shape.laneCount = 64;
    return paintShape(shape, value);
}

template <class Cell>
bool BasicRecordPainter<Cell>::paintShape(const Shape& shape, Cell value) {
    std::uint64_t steps = steps_;
    switch (levels_) {
        case 1: complete_ = walk<1>(0, shape, value, steps); break;
        case 2: complete_ = walk<2>(0, shape, value, steps); break;
        case 3: complete_ = walk<3>(0, shape, value, steps); break;
        case 4: complete_ = walk<4>(0, shape, value, steps); break;
        default: complete_ = walk<5>(0, shape, value, steps); break;
    }
    steps_ = steps;
    overBudget_ = steps > maxSteps_;
    return !overBudget_;
}

// Visits the children of a node that the cube allows and that are not
// complete, a step each; true when the node is complete afterwards. (What
// the loops use is copied to locals: stores into the arrays could
// otherwise alias it.)
template <class Cell>
template <int Level>
bool BasicRecordPainter<Cell>::walk(std::uint64_t node, const Shape& shape, Cell value, std::uint64_t& stepsTaken) {
    if constexpr (Level == 1) {
        return paintBlock(node, shape.masks[1], shape.masks[0], shape.byLane, shape.laneCount, value, stepsTaken);
    } else {
        std::uint64_t* const doneAt = done_.data() + levelStart_[Level] + node;
        const std::uint64_t most = maxSteps_;
        std::uint64_t done = *doneAt;
        std::uint64_t steps = stepsTaken;
        for (std::uint64_t todo = shape.masks[Level] & ~done; todo != 0 && steps <= most; todo &= todo - 1) {
            ++steps;
            const int k = std::countr_zero(todo);
            const std::uint64_t child = (node << kLevelDigits) | static_cast<std::uint64_t>(k);
            bool full;
            if constexpr (Level == 2) {
                full = paintBlock(child, shape.masks[1], shape.masks[0], shape.byLane, shape.laneCount, value, steps);
            } else {
                full = walk<Level - 1>(child, shape, value, steps);
            }
            if (full) done |= std::uint64_t{1} << k;
        }
        *doneAt = done;
        stepsTaken = steps;
        return done == kAll;
    }
}

// The words of a level-1 node: word by word, or lane by lane where the cube
// allows fewer positions of a word than words of the node, each lane's
// unpainted words being known at once. Either way, a step per word or lane
// looked at.
template <class Cell>
inline bool BasicRecordPainter<Cell>::paintBlock(std::uint64_t node, std::uint64_t wordMask, std::uint64_t lanes,
                                                 bool byLane, int laneCount, Cell value, std::uint64_t& stepsTaken) {
    std::uint64_t* const doneAt = done_.data() + levelStart_[1] + node;
    std::uint64_t done = *doneAt;
    const std::uint64_t todo = wordMask & ~done;
    if (todo == 0) return done == kAll;
    std::uint64_t* const lacking = lacking_.data() + (node << kLevelDigits);
    std::uint64_t* const words = words_.data() + (node << kLevelDigits);
    Cell* const cells = cells_ + (node << (2 * kLevelDigits));
    std::uint64_t steps = stepsTaken;
    if (byLane && laneCount < bitCount(todo)) {
        steps += static_cast<std::uint64_t>(laneCount);
        for (std::uint64_t l = lanes; l != 0; l &= l - 1) {
            const int lane = std::countr_zero(l);
            const std::uint64_t fresh = todo & lacking[lane];
            if (fresh == 0) continue;
            lacking[lane] &= ~fresh;
            for (std::uint64_t f = fresh; f != 0; f &= f - 1) {
                const int k = std::countr_zero(f);
                cells[k << kLevelDigits | lane] = value;
                words[k] |= std::uint64_t{1} << lane;
                if (words[k] == kAll) done |= std::uint64_t{1} << k;
            }
        }
    } else {
        for (std::uint64_t t = todo; t != 0; t &= t - 1) {
            ++steps;
            const int k = std::countr_zero(t);
            const std::uint64_t fresh = lanes & ~words[k];
            if (fresh == 0) continue;
            paintCells(cells + (k << kLevelDigits), (node << kLevelDigits) | static_cast<std::uint64_t>(k), fresh,
                       laneCount, value);
            words[k] |= fresh;
            // A complete word is out of every walk through its done bit:
            // its lanes need no update.
            if (words[k] == kAll) {
                done |= std::uint64_t{1} << k;
                continue;
            }
            for (std::uint64_t f = fresh; f != 0; f &= f - 1) lacking[std::countr_zero(f)] &= ~(std::uint64_t{1} << k);
        }
    }
    *doneAt = done;
    stepsTaken = steps;
    return done == kAll;
}

// The words of a cube that leaves few word digits free, found from their
// indices in increasing order (the free digits counted up through the
// fixed ones), looked at first only for whether any lacks a position of the
// cube, as most lack none; then the words that do are painted. Where the
// four cubes before found positions to paint, as every cube of a minimal
// cover does, the look first is skipped: the words are painted in the one
// pass, for the same steps. (A pass that finds nothing then follows a cube
// that painted at least one position: at most one such pass of at most 64
// words per position of the picture, on top of what the steps bound.)
template <class Cell>
void BasicRecordPainter<Cell>::paintWords(std::uint64_t care, std::uint64_t one, Cell value) {
    const std::uint64_t lanes = childMask(care, one);
    const std::uint64_t free = (pictureDigits_ & ~care) >> kLevelDigits;
    const std::uint64_t base = one >> kLevelDigits;
    const int laneCount = kGroupSize[care & 63];
    // A step for each level of the walk that this stands for, so that no
    // cube costs fewer steps than it did walking from the root.
    steps_ += static_cast<std::uint64_t>(levels_);
    const bool expectFresh = freshRun_ == kFreshRun;
    bool fresh;
    if (laneCount < kGroupSize[(care >> kLevelDigits) & 63]) {
        fresh = lacksByLane(childMask(care >> kLevelDigits, one >> kLevelDigits), lanes, laneCount,
                            base >> kLevelDigits, free >> kLevelDigits, !expectFresh);
    } else if (expectFresh && (base | free) < words_.size()) {
        steps_ += std::uint64_t{1} << bitCount(free);  // as lacksByWord counts them
        fresh = true;
    } else {
        fresh = lacksByWord(lanes, base, free);
    }
    overBudget_ = steps_ > maxSteps_;
    if (overBudget_) return;
    const bool painted = fresh && paintEveryWord(lanes, base, free, laneCount, value);
    freshRun_ = painted ? std::min(freshRun_ + 1, kFreshRun) : 0;
}

// Paints the lanes that the words base | s (s over the subsets of free, in
// increasing order, up to the last word) lack; whether any lacked one.
// Most words lack none, even here: where every word lies in the picture,
// four words at a time over the two lowest free digits are passed over
// together when their AND holds every lane, and otherwise painted one by
// one in the same increasing order.
template <class Cell>
bool BasicRecordPainter<Cell>::paintEveryWord(std::uint64_t lanes, std::uint64_t base, std::uint64_t free,
                                              int laneCount, Cell value) {
    std::uint64_t* const words = words_.data();
    const std::uint64_t wordCount = words_.size();
    bool painted = false;
    // The lanes word lacks painted; true once the picture is complete.
    const auto paintWord = [&](std::uint64_t word) {
        const std::uint64_t f = lanes & ~words[word];
        if (f == 0) return false;
        painted = true;
        const std::uint64_t now = words[word] | f;
        if (laneCount > 8 || now == kAll) {
            paintFresh(word, f, laneCount, value);
            return complete_;
        }
        // Few lanes, word not complete: cells and lanes' words kept here, a
        // position at a time.
        words[word] = now;
        Cell* const cells = cells_ + (word << kLevelDigits);
        std::uint64_t* const lacking = lacking_.data() + ((word >> kLevelDigits) << kLevelDigits);
        const std::uint64_t bit = std::uint64_t{1} << (word & 63);
        for (std::uint64_t g = f; g != 0; g &= g - 1) {
            const int lane = std::countr_zero(g);
            cells[lane] = value;
            lacking[lane] &= ~bit;
        }
        return false;
    };
    std::uint64_t s = 0;
    if ((base | free) < wordCount) {
        // With fewer than two digits free, d2 (or d1 too) is 0: a word is
        // then looked at twice, and the second time lacks nothing.
        const auto [d1, d2, rest] = lowTwoDigits(free);
        do {
            const std::uint64_t w = base | s;
            if ((lanes & ~(words[w] & words[w | d1] & words[w | d2] & words[w | d1 | d2])) != 0 &&
                (paintWord(w) || paintWord(w | d1) || paintWord(w | d2) || paintWord(w | d1 | d2))) {
                break;
            }
            s = (s - rest) & rest;
        } while (s != 0);
        return painted;
    }
    do {
        const std::uint64_t word = base | s;
        if (word >= wordCount || paintWord(word)) break;
        s = (s - free) & free;
    } while (s != 0);
    return painted;
}

// Whether any of the words base | s (s over the subsets of free) lacks a
// lane: a step per word, four at a time over the two lowest free digits,
// as the AND of the words holds every lane when none lacks one.
template <class Cell>
bool BasicRecordPainter<Cell>::lacksByWord(std::uint64_t lanes, std::uint64_t base, std::uint64_t free) {
    const std::uint64_t* const words = words_.data();
    const std::uint64_t wordCount = words_.size();
    std::uint64_t painted = kAll;  // the positions every word has
    std::uint64_t s = 0;
    if ((base | free) < wordCount) {
        const auto [d1, d2, rest] = lowTwoDigits(free);
        do {
            const std::uint64_t word = base | s;
            painted &= words[word] & words[word | d1] & words[word | d2] & words[word | d1 | d2];
            s = (s - rest) & rest;
        } while (s != 0);
        steps_ += std::uint64_t{1} << bitCount(free);
    } else {
        do {
            const std::uint64_t word = base | s;
            if (word >= wordCount) break;
            painted &= words[word];
            ++steps_;
            s = (s - free) & free;
        } while (s != 0);
    }
    return (lanes & ~painted) != 0;
}

// Whether any word that wordMask allows in the level-1 nodes base | n (n
// over the subsets of free) lacks a lane, for a cube of fewer lanes than
// words to a node: a step per node, and in a node not complete where the
// cube lies a step per lane, from the words of the node that lack it.
// Without look, the steps only are counted, and the answer is yes.
template <class Cell>
bool BasicRecordPainter<Cell>::lacksByLane(std::uint64_t wordMask, std::uint64_t lanes, int laneCount,
                                           std::uint64_t base, std::uint64_t free, bool look) {
    const std::uint64_t wordCount = words_.size();
    const std::uint64_t* const done = done_.data() + levelStart_[1];
    std::uint64_t lacking = 0;
    std::uint64_t steps = 0;
    std::uint64_t n = 0;
    do {
        const std::uint64_t node = base | n;
        if ((node << kLevelDigits) >= wordCount) break;
        ++steps;
        const std::uint64_t todo = wordMask & ~done[node];
        if (todo != 0) {
            const std::uint64_t* const at = lacking_.data() + (node << kLevelDigits);
            if (look) {
                for (std::uint64_t l = lanes; l != 0; l &= l - 1) lacking |= at[std::countr_zero(l)] & todo;
            }
            steps += static_cast<std::uint64_t>(laneCount);
        }
        n = (n - free) & free;
    } while (n != 0);
    steps_ += steps;
    return lacking != 0 || !look;
}

// Paints the positions fresh of a word and keeps the tree's bits.
template <class Cell>
void BasicRecordPainter<Cell>::paintFresh(std::uint64_t word, std::uint64_t fresh, int laneCount, Cell value) {
    paintCells(cells_ + (word << kLevelDigits), word, fresh, laneCount, value);
    const std::uint64_t now = words_[word] | fresh;
    words_[word] = now;
    if (now == kAll) {
        markComplete(word);
        return;
    }
    std::uint64_t* const lacking = lacking_.data() + ((word >> kLevelDigits) << kLevelDigits);
    const std::uint64_t bit = std::uint64_t{1} << (word & 63);
    for (std::uint64_t f = fresh; f != 0; f &= f - 1) lacking[std::countr_zero(f)] &= ~bit;
}

// A word is complete: so is each node above it whose children all are.
template <class Cell>
void BasicRecordPainter<Cell>::markComplete(std::uint64_t word) {
    std::uint64_t child = word;
    for (int level = 1; level <= levels_; ++level) {
        std::uint64_t& node = done_[levelStart_[level] + (child >> kLevelDigits)];
        node |= std::uint64_t{1} << (child & 63);
        if (node != kAll) return;
        child >>= kLevelDigits;
    }
    complete_ = true;
}

template <class Cell>
void BasicRecordPainter<Cell>::paintCells(Cell* at, std::uint64_t word, std::uint64_t fresh, int laneCount,
                                          Cell value) {
    if (fresh == kAll) {
        std::fill(at, at + 64, value);
        return;
    }
    // Eight cells at a time where they are bytes and the word lies inside
    // the picture (the last one may not: cells end at pixelCount).
    if constexpr (sizeof(Cell) == 1 && std::endian::native == std::endian::little) {
        if (laneCount > 8 && ((word + 1) << kLevelDigits) <= pixelCount_) {
            const std::uint64_t fill = 0x0101010101010101u * value;
            for (int group = 0; group < 8; ++group) {
                const std::uint64_t mask = kByteMask[(fresh >> (8 * group)) & 0xFF];
                if (mask == 0) continue;
                std::uint64_t cells;
                std::memcpy(&cells, at + 8 * group, 8);
                cells = (cells & ~mask) | (fill & mask);
                std::memcpy(at + 8 * group, &cells, 8);
            }
            return;
        }
    }
    for (std::uint64_t f = fresh; f != 0; f &= f - 1) at[std::countr_zero(f)] = value;
}

template class BasicRecordPainter<std::uint8_t>;
template class BasicRecordPainter<std::uint16_t>;
template class BasicRecordPainter<std::uint32_t>;

}  // namespace qm5
