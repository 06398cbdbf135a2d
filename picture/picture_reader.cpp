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

void ClassicPictureReader::measure(std::span<const std::uint8_t> file, PictureFormat format,
                                   PictureExtent& extent) const {
    switch (format) {
        case FormatBmp: measureBmp(file, extent); return;
        case FormatPcx: measurePcx(file, extent); return;
        default:
            // Refused from its first bytes, which are read already.
            extent.done = true;
            extent.end = file.size();
            return;
    }
}

}  // namespace qm5
