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

// How far a picture file reaches, as its headers tell, so that a picture
// is read no further than its own bytes (a picture on a pipe followed by
// endless bytes costs what the picture does). A measure is fed the file's
// first bytes, more on each call, until it is done.
enum class PictureEnd {
    exact,    // the picture ends at `end`: whatever follows is no part of it
    bound,    // its run-length data end by `end` at the latest
    fileEnd,  // as bound, and the format needs the file's last bytes (the PCX palette)
};
struct PictureExtent {
    std::uint64_t need = 0;  // bytes to see before the next call
    bool done = false;
    PictureEnd kind = PictureEnd::exact;
    // Where the picture ends (done), and meanwhile the most the measure may
    // still ask for: a read may take bytes ahead up to it.
    std::uint64_t end = 0;
    // The sides, once the headers tell them and the picture is of a kind
    // that is read: for limits checked before its data are read.
    bool sized = false;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint64_t walked = 0;  // the measure's own position (PNG chunks)
};

// The measures of the classic formats (picture/picture_extent.cpp), every
// BMP variant included. Each sets done, or need above file.size().
void measureBmp(std::span<const std::uint8_t> file, PictureExtent& extent);
void measurePcx(std::span<const std::uint8_t> file, PictureExtent& extent);

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
    // Advances the measure of a file that classify put in format; file
    // holds its first bytes (at least extent.need of them, unless the file
    // is shorter). read() takes no byte past a done extent's end.
    virtual void measure(std::span<const std::uint8_t> file, PictureFormat format, PictureExtent& extent) const = 0;
};

// BMP (24-bit first, then 8-bit), PCX; GIF recognised but not read.
class ClassicPictureReader final : public PictureReader {
public:
    explicit ClassicPictureReader(PictureLoader& loader) : loader_(loader) {}
    PictureFormat classify(std::span<const std::uint8_t> head) const override;
    PictureError read(std::span<const std::uint8_t> file, PictureFormat format, Picture& out,
                      PictureDetail* detail) override;
    void measure(std::span<const std::uint8_t> file, PictureFormat format, PictureExtent& extent) const override;

private:
    PictureLoader& loader_;
};

}  // namespace qm5
