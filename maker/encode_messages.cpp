#include "maker/encode_messages.hpp"

#include <cstdio>

#include "core/output_sink.hpp"
#include "maker/palette.hpp"

namespace qm5 {

namespace {

// A texture cannot hold what the input gives.
void describeHeaderRange(const HeaderRangeFault& fault, char* out, std::size_t size) {
    const long long value = fault.value;
    switch (fault.field) {
        case HeaderField::imageCount:
            std::snprintf(out, size, "%lld pictures, more than the %lld images a texture holds", value,
                          static_cast<long long>(fault.max));
            break;
        case HeaderField::colourCount:
            std::snprintf(out, size, "%lld colours, outside the %lld to %lld a texture holds", value,
                          static_cast<long long>(fault.min), static_cast<long long>(fault.max));
            break;
        case HeaderField::width:
        case HeaderField::height:
            std::snprintf(out, size, "pictures %lld pixels %s, outside the 1 to %lld a texture holds", value,
                          fault.field == HeaderField::width ? "wide" : "high", static_cast<long long>(fault.max));
            break;
        case HeaderField::mipmapCount:
        case HeaderField::none:
            std::snprintf(out, size, "%lld mipmap levels, more than a texture holds", value);
            break;
    }
}

// " (No space left on device)", or nothing when the system gave no reason.
void systemReason(const std::error_code& error, char* out, std::size_t size) {
    if (error) {
        std::snprintf(out, size, " (%s)", error.message().c_str());
    } else if (size > 0) {
        out[0] = '\0';
    }
}

}  // namespace

EncodeMessage describeEncodeFailure(const EncodeResult& result, const char* remedy) {
    EncodeMessage m;
    char* out = m.text;
    const std::size_t size = sizeof m.text;
    char reason[160];
    systemReason(result.fileError, reason, sizeof reason);
    switch (result.error) {
        case EncodeError::none: std::snprintf(out, size, "written"); break;
        case EncodeError::cancelled: std::snprintf(out, size, "cancelled; nothing was written"); break;
        case EncodeError::outOfMemory: std::snprintf(out, size, "not enough memory to write the texture"); break;
        case EncodeError::tooManyColours:
            std::snprintf(out, size, "the pictures hold more than %d colours, more than a texture can hold",
                          static_cast<int>(kMaxPaletteColours));
            break;
        case EncodeError::paletteFailed: std::snprintf(out, size, "not enough memory for the palette"); break;
        case EncodeError::headerOutOfRange: describeHeaderRange(result.header, out, size); break;
        case EncodeError::tooLarge:
            std::snprintf(out, size, "too large to compress in %llu MB; %s",
                          static_cast<unsigned long long>(result.memoryLimit >> 20), remedy);
            break;
        case EncodeError::recordTooLong:
            std::snprintf(out, size, "colour %u of image %u would need a record of more than 65535 bytes; %s",
                          static_cast<unsigned>(result.failedColour), static_cast<unsigned>(result.failedImage), remedy);
            break;
        case EncodeError::cannotOpen:
            m.aboutOutput = true;
            std::snprintf(out, size, "cannot be created%s", reason);
            break;
        case EncodeError::writeFailed:
            m.aboutOutput = true;
            std::snprintf(out, size, "cannot be written%s", reason);
            break;
    }
    return m;
}

}  // namespace qm5
