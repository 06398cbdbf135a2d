#pragma once
// Palettes of at most k colours for the pixels of a colour histogram:
// median cut, then k-means.
//
// Median cut (Heckbert, "Color image quantization for frame buffer
// display", 1982) as variance-driven splitting: the box with the largest
// squared error is split across its channel of largest error, where the two
// halves' error along that channel is least. The box means are then
// refined by Lloyd's k-means iterations over the histogram (every colour
// to its nearest palette colour, every palette colour to the mean of its
// colours). All sums are integers and every tie is broken by colour value
// or index, so the palette depends on the histogram alone.

#include <array>
#include <cstdint>
#include <span>

#include "core/heap_array.hpp"

namespace qm5 {

struct ColourCount {
    std::uint32_t colour = 0;  // packed RGB
    std::uint32_t count = 0;   // pixels of that colour
};

// The distinct colours of pixels (packed RGB, bits 24..31 zero) with their
// counts, over every span added.
class ColourHistogram {
public:
    [[nodiscard]] bool add(std::span<const std::uint32_t> pixels);
    // The colours counted so far, ascending.
    [[nodiscard]] bool sorted(HeapArray<ColourCount>& out) const;
    std::uint64_t distinct() const { return size_; }

private:
    [[nodiscard]] bool grow();
    static constexpr std::uint32_t kFree = 0xFFFFFFFFu;  // no colour has bits 24..31 set here
    HeapArray<std::uint32_t> keys_;
    HeapArray<std::uint32_t> counts_;
    unsigned bits_ = 0;
    std::uint64_t size_ = 0;
};

// The histogram with colours that agree in their top `bits` bits of every
// channel merged into one entry of their rounded mean colour (which stays
// inside their cell, so entries stay distinct), ascending: a shorter
// histogram for building palettes of photos.
[[nodiscard]] bool mergeCells(std::span<const ColourCount> histogram, int bits, HeapArray<ColourCount>& out);

// Pixel count, channel sums and sums of squares of a set of histogram colours.
struct ColourMoments {
    std::int64_t n = 0;
    std::array<std::int64_t, 3> sum{};
    std::array<std::int64_t, 3> squares{};

    void add(const ColourCount& e);
    // Squared error about the mean on one channel, and on all three.
    std::int64_t error(int ch) const;
    std::int64_t error() const { return error(0) + error(1) + error(2); }
    std::uint32_t mean() const;  // rounded; n > 0
};

// Median cut of a histogram, split after split: the palettes of k colours
// for growing k share their first splits, so each is had from the last.
class MedianCut {
public:
    [[nodiscard]] bool start(std::span<const ColourCount> histogram);
    // The means of the boxes after splitting to k boxes (fewer when the
    // histogram has fewer colours: then its colours exactly). Cheapest when
    // k grows from call to call.
    [[nodiscard]] bool palette(std::uint32_t k, HeapArray<std::uint32_t>& out);

private:
    struct Box {
        std::size_t begin = 0;
        std::size_t end = 0;
        ColourMoments moments;
        std::int64_t error = 0;  // moments.error(), kept
    };
    Box box(std::size_t begin, std::size_t end) const;

    HeapArray<ColourCount> entries_;
    HeapArray<Box> boxes_;
    std::uint32_t count_ = 0;
};

// Up to `iterations` k-means steps over the histogram; stops early when no
// palette colour moves. A palette colour no histogram colour is nearest to
// stays where it is.
[[nodiscard]] bool refineByKMeans(std::span<const ColourCount> histogram, HeapArray<std::uint32_t>& palette,
                                  int iterations);

// The cells of 16 x 16 x 16 over the colour cube (NearestColour::build's
// `wanted`) holding a colour of the histogram or next to one that does:
// where pixels and the means of blocks of them fall.
[[nodiscard]] bool occupiedCells(std::span<const ColourCount> histogram, HeapArray<std::uint8_t>& cells);

}  // namespace qm5
