// Placeholder until the PCX reader lands.
#include "picture/picture_loader.hpp"
namespace qm5 {
PictureError PictureLoader::loadPcx(std::span<const std::uint8_t>, Picture&) { return PictureError::unsupported; }
}  // namespace qm5
