#pragma once
// Painting the colour records of one compressed image with work that
// follows what is painted, not how often cubes repeat.
//
// The format's own order paints the records from the last index down, so
// that a lower index overwrites: every pixel ends with the colour of the
// lowest index whose record covers it (0 when none does). Painting every
// cube's positions one by one costs the positions the cubes cover, and the
// maker's cubes overlap heavily: each colour's cubes may cover the
// positions of every lower colour, so a 1024 x 1024 texture of 26000
// colours covers each pixel about 9300 times.
//
// This painter gives the same pixels in the other order: records from
// index 0 up, each pixel painted once, by the first record that covers it,
// and keeps track of what is painted as a tree of 64-bit masks that follows
// the position digits six at a time. A leaf is a word of 64 positions,
// p = 64 w + l: bit l says that position is painted. Above it, bit k of
// node n at level 1 says word 64 n + k is complete (every position
// painted), at level 2 that node 64 n + k of level 1 is complete, and so
// on up to one root over the whole picture.
//
// A cube fixes some digits and leaves the others free; restricted to the
// six digits of one level it allows a set of children, one 64-bit mask per
// level. Painting a cube walks the tree from the root into the children
// that its mask allows and that are not complete, and at each word paints
// the positions its low digits allow that are still unpainted: 64 at once
// where those digits are free. Complete parts of the picture cost nothing,
// so a cube repeated or contained in parts painted before is skipped at
// the highest level where they are complete, and once the picture is
// complete every further cube costs nothing.
//
// Most cubes are small: they leave at most six word digits free, so they
// allow at most 64 words, and most of those words already hold every
// position the cube allows. Such a cube skips the walk: its words are
// found from their indices and looked at first only for whether any lacks
// one of its positions (the AND of the words, four at a time), or, where it
// allows fewer positions of a word than words of a level-1 node, its nodes
// and in each its lanes; only a cube that finds one paints.
//
// Work is counted in steps, one per child visited at any level; painting
// stops (and says so) when the steps pass the budget given at start. A
// small cube takes a step for each level of the walk it skips and one for
// each word, node or lane it looks at. Cubes that visit parts that are not
// complete without painting in them (such as cubes of one low digit
// pattern over words that never complete) are what the budget bounds.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

// Cell: what a position holds, a palette index of 8, 16 or 32 bits.
template <class Cell>
class BasicRecordPainter {
public:
    // Paints into cells[0 .. pixelCount - 1], which keep their values where
    // nothing paints, with at most maxSteps steps. False when the tree
    // cannot be allocated.
    [[nodiscard]] bool start(std::uint64_t pixelCount, Cell* cells, std::uint64_t maxSteps = UINT64_MAX);
    // Paints value into the unpainted positions below pixelCount that the
    // cube of a b-bit record covers (1 <= b <= 32). False once the steps
    // have passed the budget: then nothing more is painted.
    bool paint(CubeMasks cube, int b, Cell value);
    // Every cube of a record's data (the cube stream of a b-bit record,
    // 1 <= b <= 32), until the picture is complete.
    bool paintRecord(std::span<const std::uint8_t> data, int b, Cell value);
    // A whole record: every unpainted position.
    bool paintAll(Cell value);

    std::uint64_t steps() const { return steps_; }
    bool overBudget() const { return overBudget_; }
    // Every position is painted.
    bool complete() const { return complete_; }
    // Bit l of word w: position 64 w + l is painted (positions from
    // pixelCount on count as painted).
    std::span<const std::uint64_t> paintedWords() const { return words_.span(); }

private:
    static constexpr int kMaxLevels = 5;  // above the words: 30 position bits - 6 in a word, 6 a level
    // Cubes that leave at most this many word digits free find their words
    // from their indices (at most 64 of them), not by walking the tree.
    static constexpr int kFewWordDigits = 6;
    // After this many small cubes in a row that painted, the next paints
    // without looking first (a texture of overlapping cubes keeps looking).
    static constexpr int kFreshRun = 4;

    // A cube in the picture's terms: [0] the positions of a word it allows,
    // [L] the children of a node at level L; whether to walk the words of
    // a level-1 node lane by lane (it allows fewer positions than words).
    struct Shape {
        std::uint64_t masks[kMaxLevels + 1];
        bool byLane;
        int laneCount;
    };
    // The cube's care and one masks over the picture's digits; false when
    // it covers no position of the picture's 2^b.
    bool toPicture(CubeMasks cube, int b, std::uint64_t& care, std::uint64_t& one) const;
    void paintCube(std::uint64_t care, std::uint64_t one, Cell value);
    void prepare(std::uint64_t care, std::uint64_t one, Shape& shape) const;
    bool paintShape(const Shape& shape, Cell value);
    void paintWords(std::uint64_t care, std::uint64_t one, Cell value);
    bool lacksByWord(std::uint64_t lanes, std::uint64_t base, std::uint64_t free);
    bool paintEveryWord(std::uint64_t lanes, std::uint64_t base, std::uint64_t free, int laneCount, Cell value);
    bool lacksByLane(std::uint64_t wordMask, std::uint64_t lanes, int laneCount, std::uint64_t base,
                     std::uint64_t free, bool look);
    void paintFresh(std::uint64_t word, std::uint64_t fresh, int laneCount, Cell value);
    void markComplete(std::uint64_t word);
    template <int Level>
    bool walk(std::uint64_t node, const Shape& shape, Cell value, std::uint64_t& steps);
    bool paintBlock(std::uint64_t node, std::uint64_t wordMask, std::uint64_t lanes, bool byLane, int laneCount,
                    Cell value, std::uint64_t& steps);
    // The positions fresh of word (whose cells start at at).
    void paintCells(Cell* at, std::uint64_t word, std::uint64_t fresh, int laneCount, Cell value);

    Cell* cells_ = nullptr;
    std::uint64_t pixelCount_ = 0;
    int bits_ = 0;    // b of the picture
    int levels_ = 0;  // above the words, at least 1
    std::uint64_t pictureDigits_ = 0;  // 2^bits_ - 1
    HeapArray<std::uint64_t> words_;
    HeapArray<std::uint64_t> done_;             // the nodes of every level, level 1 first
    // Bit k of [64 n + l]: word 64 n + k of level-1 node n lacks position l
    // (kept for the words that are not complete).
    HeapArray<std::uint64_t> lacking_;
    HeapArray<std::uint8_t> reversed_;  // a record's data, reversed bit by bit
    std::uint64_t levelStart_[kMaxLevels + 1] = {};  // of level L's nodes in done_
    std::uint64_t steps_ = 0;
    std::uint64_t maxSteps_ = UINT64_MAX;
    bool overBudget_ = false;
    bool complete_ = false;
    int freshRun_ = 0;  // small cubes in a row, up to kFreshRun, that had positions to paint
};

extern template class BasicRecordPainter<std::uint8_t>;
extern template class BasicRecordPainter<std::uint16_t>;
extern template class BasicRecordPainter<std::uint32_t>;

// The painter of 32-bit pixels.
using RecordPainter = BasicRecordPainter<std::uint32_t>;

}  // namespace qm5
