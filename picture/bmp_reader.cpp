// Placeholder until the BMP readers land.
#include "picture/picture_loader.hpp"
namespace qm5 {
PictureError PictureLoader::loadBmp24(std::span<const std::uint8_t>, Picture&) { return PictureError::unsupported; }
PictureError PictureLoader::loadBmp8(std::span<const std::uint8_t>, Picture&) { return PictureError::unsupported; }
}  // namespace qm5
