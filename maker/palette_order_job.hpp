#pragma once
// The palette order of a --best texture: PaletteOrderSearch over all its
// pictures at once (one order serves every image), within the writer's
// thread count and memory limit.

#include <cstdint>
#include <span>

#include "maker/encoder.hpp"
#include "minimiser/palette_order.hpp"
#include "picture/picture.hpp"

namespace qm5 {

struct OrderJobOptions {
    unsigned effort = kDefaultOrderEffort;
    unsigned threads = 1;
    std::uint64_t memoryLimit = 0;
    // Record bytes (all images) the texture must stay below; see OrderSearchOptions.
    std::uint64_t sizeLimit = ~std::uint64_t{0};
    // Hears the search's progress; when it asks to cancel, the search stops
    // at its next chunk of records (its result is then of no use).
    EncodeObserver* observer = nullptr;
};

// Runs search over the pictures (pixels: palette indices below colourCount).
// ran is false, and nothing else done, when even one thread would pass the
// memory limit; the caller then compresses in the maker's order.
MinimiseStatus searchPaletteOrder(std::span<const Picture* const> pictures, std::uint32_t colourCount,
                                  const OrderJobOptions& options, PaletteOrderSearch& search, bool& ran);

}  // namespace qm5
