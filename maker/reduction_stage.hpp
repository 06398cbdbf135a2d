#pragma once
// The reduction stage of encodeTexture (encoder.hpp): truecolour pictures
// reduced in place to indices into a palette of the reduction's, each
// candidate priced by writing it as the request will (its mode, effort and
// threads) into a sink that only counts bytes, so that the smallest texture
// kept is the smallest this encoder writes.

#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "maker/encoder.hpp"

namespace qm5 {

// Fills palette and result's reduction figures; EncodeError::none or why not.
EncodeError reducePictures(const EncodeRequest& request, EncodeObserver& observer, HeapArray<std::uint32_t>& palette,
                           EncodeResult& result);

// The distinct colours of the pictures; 0 when there is not the memory to count them.
std::uint64_t countColours(std::span<const Picture> pictures);

}  // namespace qm5
