#pragma once
// Painting the colour records of one compressed image, fast and with work
// that can be known before painting.
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
// index 0 up, each pixel painted once, by the first record that covers it.
// A bit per position says which are painted, 64 to a word: the positions
// p = 64 w + l of word w. A cube's digits 0 .. 5 become a 64-bit mask of
// the l it allows, and its digits from 6 up pick the words; in each word
// it visits, the positions it newly covers are painted in one step, 64
// pixels at once where the cube leaves its low digits free. The words of a
// cube are walked in ascending order, consecutive ones (free digits 6, 7,
// ...) as runs, and the walk ends at the picture's end whatever b the
// record claims.
//
// Work is counted in steps, one per word a cube visits: paintSteps() says
// how many before anything is painted.

#include <cstdint>

#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

class RecordPainter {
public:
    // Paints into pixelCount pixels. False when the painted bits cannot be
    // allocated.
    [[nodiscard]] bool start(std::uint64_t pixelCount, std::uint32_t* pixels);
    // Paints colour into the unpainted positions below pixelCount that the
    // cube of a b-bit record covers.
    void paint(CubeMasks cube, int b, std::uint32_t colour);
    // A whole record: every unpainted position.
    void paintAll(std::uint32_t colour) { paint({}, bits_, colour); }

private:
    void paintWord(std::uint64_t word, std::uint64_t positions, std::uint32_t colour);

    std::uint32_t* pixels_ = nullptr;
    int bits_ = 0;  // b of the picture
    HeapArray<std::uint64_t> painted_;  // bit l of word w: position 64 w + l
};

// The steps painting the cube of a b-bit record takes in a picture of
// pixelCount pixels: the words of 64 positions it visits.
std::uint64_t paintSteps(CubeMasks cube, int b, std::uint64_t pixelCount);

}  // namespace qm5
