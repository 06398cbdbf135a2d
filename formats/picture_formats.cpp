#include "formats/picture_formats.hpp"

#include "formats/bmp_variants.hpp"
#include "formats/png_codec.hpp"
#include "formats/tga_reader.hpp"
#include "picture/pcx_format.hpp"

namespace qm5 {

const char* FormatsPictureReader::formatNames() { return pngSupported() ? "BMP, PCX, PNG, TGA" : "BMP, PCX, TGA"; }

PictureFormat FormatsPictureReader::classify(std::span<const std::uint8_t> head) const {
    const PictureFormat classic = PictureLoader::detectFormat(head);
    if (classic != FormatUnknown) return classic;
    if (isPngSignature(head)) return FormatPng;
    if (looksLikeTga(head)) return FormatTga;
    return FormatUnknown;
}

PictureError FormatsPictureReader::readPcx(std::span<const std::uint8_t> file, Picture& out, PictureDetail& why) {
    // Header bytes 1 (version), 3 (bits per plane) and 65 (planes); a file
    // too short for them is refused by the reader.
    const std::uint8_t version = file.size() > 1 ? file[1] : 0;
    const std::uint8_t bits = file.size() > 3 ? file[3] : 0;
    const std::uint8_t planes = file.size() > 65 ? file[65] : 0;
    const bool rgb = planes == 3 && bits == kPcxBitsPerPlane;
    const PictureError e = rgb ? loader_.loadPcx24(file, out) : loader_.loadPcx(file, out);
    if (e != PictureError::unsupported) return e;
    if (planes == 1 && bits == kPcxBitsPerPlane) {
        why.print("PCX version %u (8-bit PCX is read from version 5, with its palette at the end)", version);
    } else if (planes == 1) {
        why.print("%u-bit PCX", bits);
    } else {
        why.print("PCX of %u planes of %u bits", planes, bits);
    }
    return e;
}

void FormatsPictureReader::measure(std::span<const std::uint8_t> file, PictureFormat format,
                                   PictureExtent& extent) const {
    switch (format) {
        case FormatBmp: measureBmp(file, extent); return;
        case FormatPcx: measurePcx(file, extent); return;
        case FormatPng: measurePng(file, extent); return;
        case FormatTga: measureTga(file, extent); return;
        default:
            // Refused from its first bytes, which are read already.
            extent.done = true;
            extent.end = file.size();
            return;
    }
}

PictureError FormatsPictureReader::read(std::span<const std::uint8_t> file, PictureFormat format, Picture& out,
                                        PictureDetail* detail) {
    PictureDetail scratch;
    PictureDetail& why = detail != nullptr ? *detail : scratch;
    switch (format) {
        case FormatBmp:
            // The classic readers first, so that what qm5_maker reads gives
            // the same picture; every other variant from the wider reader.
            if (loader_.loadAny(file, out) == PictureError::none) return PictureError::none;
            return loadBmpVariant(file, out, options_, &why);
        case FormatPcx: return readPcx(file, out, why);
        case FormatPng: return loadPng(file, out, options_, &why);
        case FormatTga: return loadTga(file, out, options_, &why);
        case FormatGif:
            out = Picture{};
            why.set("GIF");
            return PictureError::unsupported;
        default: break;
    }
    out = Picture{};
    return PictureError::notPicture;
}

}  // namespace qm5
