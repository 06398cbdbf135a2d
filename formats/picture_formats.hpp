#pragma once
// The qm5 command's picture reader: what the classic programs read (BMP 24-
// and 8-bit, PCX 8-bit), the same picture in the same colours, and beyond
// that every common BMP variant (formats/bmp_variants.hpp), 24-bit PCX, PNG
// (formats/png_codec.hpp) and TGA (formats/tga_reader.hpp). Formats are told
// by content: BMP, PCX and PNG by their signatures, TGA (which has none) by
// a header that only a TGA file has.

#include <cstdio>

#include "formats/read_options.hpp"
#include "picture/picture_loader.hpp"
#include "picture/picture_reader.hpp"

namespace qm5 {

class FormatsPictureReader final : public PictureReader {
public:
    // messages receives the PCX reader's scan-line warnings (nullptr: none).
    explicit FormatsPictureReader(std::FILE* messages, ReadOptions options = {})
        : loader_(messages), options_(options) {}
    PictureFormat classify(std::span<const std::uint8_t> head) const override;
    PictureError read(std::span<const std::uint8_t> file, PictureFormat format, Picture& out,
                      PictureDetail* detail) override;
    void measure(std::span<const std::uint8_t> file, PictureFormat format, PictureExtent& extent) const override;

    // "BMP, PCX, PNG, TGA" (PNG only in builds with the PNG library).
    static const char* formatNames();

private:
    PictureError readPcx(std::span<const std::uint8_t> file, Picture& out, PictureDetail& why);

    PictureLoader loader_;
    ReadOptions options_;
};

}  // namespace qm5
