#pragma once
// Writing a texture file (layout in texture/texture_format.hpp): the header,
// the palette, then every image as plain indices or as its colour records.
// The records come from the caller, who compresses (the minimisers live in a
// layer above this one). The writer checks what it is given against the
// header it wrote, so that no file it commits disagrees with its own layout:
// steps in file order, N images, K records per image in colour order, each
// record's head matching its length and the picture's b. The file is written
// under a temporary name and appears under its own only on commit(); a
// caller's sink (memory) gets the same bytes and the same commit().

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>

#include "core/file_io.hpp"
#include "picture/picture.hpp"

namespace qm5 {

// Takes the record of one colour; false when it refuses it (the caller then stops).
using RecordSink = std::function<bool(std::uint32_t colour, std::span<const std::uint8_t> record)>;
// Hands the records of one image to sink, colour 0 first; false when it
// could not make them all (the caller knows why).
using RecordSource = std::function<bool(const RecordSink& sink)>;

// The header fields, in the order checkHeaderRanges() looks at them.
enum class HeaderField { none, imageCount, colourCount, width, height, mipmapCount };

// A value that its header field cannot hold: the field stores 16 bits, and
// the reader takes counts and sizes as signed, so images run from 1 to
// 65535, colours and sides from 1 to 32767 and mipmap levels from 0 to 65535.
struct HeaderRangeFault {
    HeaderField field = HeaderField::none;
    std::int64_t value = 0;
    std::int64_t min = 0;
    std::int64_t max = 0;
};

// The first field the header of these pictures and palette cannot hold;
// field none when all fit. The pictures' sides are those of the first.
HeaderRangeFault checkHeaderRanges(std::span<const Picture* const> pictures, std::size_t colourCount,
                                   std::int32_t mipmapCount);

class TextureFileWriter {
public:
    // pictures: N >= 1 pictures of equal size whose pixels are palette
    // indices; pictures and palette must outlive the writer. open() refuses
    // them when a header field cannot hold them (checkHeaderRanges).
    TextureFileWriter(std::span<const Picture* const> pictures, std::span<const std::uint32_t> palette,
                      std::int32_t mipmapCount);

    // False when a header field cannot hold the pictures, or the file
    // cannot be created (see AtomicOutputFile::open); nothing is written then.
    [[nodiscard]] bool open(const char* path);
    // Writes to stream instead (standard output), all at once on commit();
    // false when a header field cannot hold the pictures.
    [[nodiscard]] bool openStream(std::FILE* stream);
    // Writes into sink instead, which must outlive the writer.
    [[nodiscard]] bool open(OutputSink& sink);
    // The header; compressed sets its flag, and with it how images are written.
    void writeHeader(bool compressed);
    void writePalette();
    // The palette in another order, entry i being palette[order[i]]; only
    // for a compressed file (plain indices refer to the palette as given).
    // A reader does not depend on the order. Refused (commit() fails) unless
    // order is a permutation of the palette's indices.
    void writePalette(std::span<const std::uint32_t> order);
    // The next image as indices in position order; false for an index
    // outside the palette or a picture of another size than the first.
    bool writePlainImage();
    // The next image as the K records source hands over; false when the
    // source fails or a record is refused: out of colour order, a head that
    // disagrees with the record's length or the picture's b, or missing.
    bool writeRecords(const RecordSource& source);
    // Renames the file over the path; false (the path untouched) when a write
    // failed, a step was out of order or an image is missing.
    [[nodiscard]] bool commit();
    // Why the file could not be created or written, as the system says it;
    // empty when the failure was not the system's (or there was none).
    std::error_code fileError() const { return file_.error(); }

private:
    enum class Step { closed, opened, header, palette, images };

    // Not yet opened, and every header field can hold what it will describe.
    bool acceptable() const;
    bool at(Step step) { return ok_ = ok_ && step_ == step; }
    bool acceptRecord(std::uint32_t colour, std::span<const std::uint8_t> record);

    std::span<const Picture* const> pictures_;
    std::span<const std::uint32_t> palette_;
    std::int32_t mipmapCount_;
    int positionBits_;
    AtomicOutputFile file_;
    OutputSink* out_ = nullptr;  // file_ or the caller's sink, once open
    Step step_ = Step::closed;
    bool ok_ = true;  // every step so far in order and accepted
    bool compressed_ = false;
    std::size_t imagesWritten_ = 0;
    std::uint32_t nextColour_ = 0;
};

}  // namespace qm5
