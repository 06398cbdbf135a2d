#include "reduce/colour_mapping.hpp"

#include <algorithm>

#include "core/heap_array.hpp"
#include "core/parallel_parts.hpp"
#include "reduce/picture_error.hpp"

namespace qm5 {

void mapToNearest(std::span<const std::uint32_t> pixels, const NearestColour& palette, unsigned threads,
                  std::span<std::uint32_t> indices) {
    // Parts of 64 Ki pixels, so that small pictures take one thread.
    const std::uint64_t chunks = (pixels.size() + 0xFFFF) >> 16;
    parallelParts(static_cast<unsigned>(std::min<std::uint64_t>(threads, chunks)), pixels.size(),
                  [&](unsigned, std::uint64_t begin, std::uint64_t end) {
                      std::uint32_t last = 0;
                      std::uint32_t lastIndex = palette.nearest(0);
                      for (std::uint64_t p = begin; p < end; ++p) {
                          if (pixels[p] != last) {
                              last = pixels[p];
                              lastIndex = palette.nearest(last);
                          }
                          indices[p] = lastIndex;
                      }
                  });
}

bool mapWithDithering(std::span<const std::uint32_t> pixels, std::int32_t width, const NearestColour& palette,
                      std::span<std::uint32_t> indices) {
    const auto w = static_cast<std::size_t>(std::max(width, 1));
    // Errors in 1/16ths for this row and the next, one pixel of margin each side.
    HeapArray<std::int32_t> errors;
    if (!errors.allocate(2 * 3 * (w + 2))) return false;
    std::int32_t* here = errors.data();
    std::int32_t* below = errors.data() + 3 * (w + 2);
    const std::span<const std::uint32_t> colours = palette.palette();
    for (std::size_t start = 0; start < pixels.size(); start += w) {
        std::fill(below, below + 3 * (w + 2), 0);
        const std::size_t count = std::min(w, pixels.size() - start);
        for (std::size_t x = 0; x < count; ++x) {
            const std::uint32_t c = pixels[start + x];
            std::int32_t want[3] = {redOf(c), greenOf(c), blueOf(c)};
            std::int32_t clamped[3];
            for (int ch = 0; ch < 3; ++ch) {
                // Rounded to nearest: error / 16, halves away from zero.
                const std::int32_t e = here[3 * (x + 1) + ch];
                want[ch] += (e >= 0 ? e + 8 : e - 8) / 16;
                clamped[ch] = std::clamp(want[ch], 0, 255);
            }
            const std::uint32_t index = palette.nearest(rgb(clamped[0], clamped[1], clamped[2]));
            indices[start + x] = index;
            const std::uint32_t got = colours[index];
            const std::int32_t have[3] = {redOf(got), greenOf(got), blueOf(got)};
            for (int ch = 0; ch < 3; ++ch) {
                const std::int32_t e = clamped[ch] - have[ch];
                here[3 * (x + 2) + ch] += 7 * e;
                below[3 * x + ch] += 3 * e;
                below[3 * (x + 1) + ch] += 5 * e;
                below[3 * (x + 2) + ch] += e;
            }
        }
        std::swap(here, below);
    }
    return true;
}

}  // namespace qm5
