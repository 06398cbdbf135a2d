#include "maker/classic_console.hpp"

#include <cstdio>

#include "maker/reports.hpp"

namespace qm5 {

namespace {

// The maker's line for a header field that cannot hold the pictures.
const char* headerRangeMessage(const HeaderRangeFault& fault) {
    switch (fault.field) {
        case HeaderField::imageCount:
            return fault.value < fault.min ? "File list holds no pictures !" : "A texture holds at most 65535 images !";
        case HeaderField::colourCount:
            return fault.value < fault.min ? "Pictures hold no colours !" : "Pictures hold more than 32767 colours !";
        case HeaderField::width:
        case HeaderField::height:
            return fault.value < fault.min ? "Pictures must be at least 1 pixel wide and high !"
                                           : "Pictures must be at most 32767 pixels wide and high !";
        case HeaderField::mipmapCount:
        case HeaderField::none: break;
    }
    return "Too many mipmap levels !";
}

}  // namespace

void ClassicConsole::writing() { console_.print("Writing texture to HDD ..\n"); }

void ClassicConsole::writingHeader() { console_.print("   - Writing header ..\n"); }

void ClassicConsole::writingPalette() { console_.print("   - Writing palette ..\n"); }

void ClassicConsole::writingPlainImages() { console_.print("   - Writing image ..\n"); }

void ClassicConsole::plainImageWritten(std::uint32_t image) {
    console_.print("\r        - Bitmap %3d\n", static_cast<int>(image));
}

void ClassicConsole::compressingImages() { console_.print("   - Compressing image ..\n"); }

// The percentage projects the records so far onto all K records of the
// picture, against the picture as 32-bit pixels (4P bytes).
void ClassicConsole::recordMade(std::uint32_t image, std::uint32_t colour, std::uint32_t colours,
                                std::uint64_t imageBytes, std::uint64_t pixels) {
    const std::uint64_t percent =
        std::uint64_t{colours} * imageBytes * 100 / (std::uint64_t{colour} + 1) / (4 * pixels);
    console_.print("\r        - Image %3d, chunk %4d / %4d, compress = %3d %%", static_cast<int>(image + 1),
                   static_cast<int>(colour + 1), static_cast<int>(colours), static_cast<int>(percent));
}

void ClassicConsole::imageCompressed(std::uint32_t) { console_.print("\n"); }

void ClassicConsole::finished(const EncodeResult& result) {
    switch (result.error) {
        case EncodeError::none:
        case EncodeError::cancelled:
        case EncodeError::paletteFailed: return;  // the palette stage has said so
        case EncodeError::outOfMemory: reportOutOfMemory(console_); return;
        case EncodeError::tooManyColours: reportError(console_, "Pictures hold more than 32767 colours !"); return;
        case EncodeError::headerOutOfRange: reportError(console_, headerRangeMessage(result.header)); return;
        case EncodeError::tooLarge:
            reportError(console_, "Picture too large to compress, write it uncompressed !");
            return;
        case EncodeError::recordTooLong: {
            char message[160];
            std::snprintf(message, sizeof message,
                          "Colour %u of image %u needs more than 65535 bytes, write the picture uncompressed !",
                          static_cast<unsigned>(result.failedColour), static_cast<unsigned>(result.failedImage));
            reportError(console_, message);
            return;
        }
        case EncodeError::cannotOpen: reportError(console_, "Cannot open destination file !"); return;
        case EncodeError::writeFailed: reportError(console_, "Cannot write destination file !"); return;
    }
}

}  // namespace qm5
