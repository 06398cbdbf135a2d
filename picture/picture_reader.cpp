#include "picture/picture_reader.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "picture/picture_loader.hpp"

namespace qm5 {

void PictureDetail::set(const char* what) {
    std::strncpy(text, what != nullptr ? what : "", sizeof text - 1);
    text[sizeof text - 1] = '\0';
}

void PictureDetail::print(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
}

PictureFormat ClassicPictureReader::classify(std::span<const std::uint8_t> head) const {
    return PictureLoader::detectFormat(head);
}

PictureError ClassicPictureReader::read(std::span<const std::uint8_t> file, PictureFormat, Picture& out,
                                        PictureDetail*) {
    return loader_.loadAny(file, out);
}

}  // namespace qm5
