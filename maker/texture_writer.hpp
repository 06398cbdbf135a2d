#pragma once
// The writing stage of encodeTexture (encoder.hpp): compresses the pictures
// with the engine the request's mode asks for and writes the texture through
// TextureFileWriter, telling the observer each step of the file. The file
// appears under its name only when complete; any failure leaves an existing
// file of that name as it was.

#include <cstdint>
#include <span>

#include "maker/encoder.hpp"
#include "picture/picture.hpp"

namespace qm5 {

// pictures: N >= 1 pictures of equal size whose pixels are palette indices
// (< palette.size()); result.mipmapLevels goes into the header. Fills
// result (error, sizes, the reasons for plain) except the observer's
// finished call, which the caller makes.
void writeTexture(const EncodeRequest& request, std::span<const Picture* const> pictures,
                  std::span<const std::uint32_t> palette, EncodeObserver& observer, EncodeResult& result);

}  // namespace qm5
