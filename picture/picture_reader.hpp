#pragma once
// PictureReader: how the drivers (the maker's input stage and the qm5
// command) turn one input's bytes into a Picture. The classic programs read
// through ClassicPictureReader, exactly what PictureLoader reads; the qm5
// command passes a reader of more formats (formats/picture_formats.hpp).

#include <cstddef>
#include <cstdint>
#include <span>

#include "picture/picture.hpp"

namespace qm5 {

class PictureLoader;

// Enough of a file's start for every signature and header test a reader
// makes when it classifies.
inline constexpr std::size_t kPictureHeadBytes = 32;

// What a refusal was about, beyond its PictureError: for unsupported, the
// variant not read ("64-bit BMP"); for malformed, a library's own reason.
// Empty when there is nothing to add.
struct PictureDetail {
    char text[96] = "";
    void set(const char* text);
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void print(const char* format, ...);
};

class PictureReader {
public:
    virtual ~PictureReader() = default;
    // The format of a file from its first bytes (kPictureHeadBytes of them,
    // fewer when the file is shorter); FormatUnknown for anything this
    // reader neither reads nor recognises.
    virtual PictureFormat classify(std::span<const std::uint8_t> head) const = 0;
    // Reads the picture in file, which classify put in format. out is empty
    // on failure; detail (when given) may say more.
    virtual PictureError read(std::span<const std::uint8_t> file, PictureFormat format, Picture& out,
                              PictureDetail* detail) = 0;
};

// BMP (24-bit first, then 8-bit), PCX; GIF recognised but not read.
class ClassicPictureReader final : public PictureReader {
public:
    explicit ClassicPictureReader(PictureLoader& loader) : loader_(loader) {}
    PictureFormat classify(std::span<const std::uint8_t> head) const override;
    PictureError read(std::span<const std::uint8_t> file, PictureFormat format, Picture& out,
                      PictureDetail* detail) override;

private:
    PictureLoader& loader_;
};

}  // namespace qm5
