#include "texture/texture_writer.hpp"

#include "core/byte_reader.hpp"
#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

HeaderRangeFault checkHeaderRanges(std::span<const Picture* const> pictures, std::size_t colourCount,
                                   std::int32_t mipmapCount) {
    constexpr std::int64_t kMaxSigned = 32767;
    constexpr std::int64_t kMaxUnsigned = 65535;
    const Picture* first = pictures.empty() ? nullptr : pictures[0];
    const struct {
        HeaderField field;
        std::int64_t value;
        std::int64_t min;
        std::int64_t max;
    } fields[] = {
        {HeaderField::imageCount, static_cast<std::int64_t>(pictures.size()), 1, kMaxUnsigned},
        {HeaderField::colourCount, static_cast<std::int64_t>(colourCount), 1, kMaxSigned},
        {HeaderField::width, first != nullptr ? first->width : 0, 1, kMaxSigned},
        {HeaderField::height, first != nullptr ? first->height : 0, 1, kMaxSigned},
        {HeaderField::mipmapCount, mipmapCount, 0, kMaxUnsigned},
    };
    for (const auto& f : fields) {
        if (f.value < f.min || f.value > f.max) return {f.field, f.value, f.min, f.max};
    }
    return {};
}

TextureFileWriter::TextureFileWriter(std::span<const Picture* const> pictures, std::span<const std::uint32_t> palette,
                                     std::int32_t mipmapCount)
    : pictures_(pictures),
      palette_(palette),
      mipmapCount_(mipmapCount),
      positionBits_(positionBitCount(pictures.empty() ? 0 : pictures[0]->pixels.size())) {}

bool TextureFileWriter::open(const char* path) {
    if (!acceptable()) return ok_ = false;
    if (!file_.open(path)) return false;
    return open(file_);
}

bool TextureFileWriter::openStream(std::FILE* stream) {
    if (!acceptable() || stream == nullptr) return ok_ = false;
    file_.openStream(stream);
    return open(file_);
}

bool TextureFileWriter::open(OutputSink& sink) {
    if (!acceptable()) return ok_ = false;
    out_ = &sink;
    step_ = Step::opened;
    return true;
}

bool TextureFileWriter::acceptable() const {
    return ok_ && step_ == Step::closed && !pictures_.empty() &&
           checkHeaderRanges(pictures_, palette_.size(), mipmapCount_).field == HeaderField::none;
}

void TextureFileWriter::writeHeader(bool compressed) {
    if (!at(Step::opened)) return;
    const Picture& first = *pictures_[0];
    TextureHeader header;
    header.colourCount = static_cast<std::uint16_t>(palette_.size());
    header.mipmapCount = static_cast<std::uint16_t>(mipmapCount_);
    header.imageCount = static_cast<std::uint16_t>(pictures_.size());
    header.compression = compressed ? 1 : 0;
    header.width = static_cast<std::uint16_t>(first.width);
    header.height = static_cast<std::uint16_t>(first.height);
    std::uint8_t bytes[kTextureHeaderSize];
    header.store(bytes);
    out_->write(bytes, sizeof bytes);
    compressed_ = compressed;
    step_ = Step::header;
}

void TextureFileWriter::writePalette() {
    if (!at(Step::header)) return;
    for (const std::uint32_t colour : palette_) {
        std::uint8_t entry[kPaletteEntrySize];
        storeU32(entry, colour);
        out_->write(entry, sizeof entry);
    }
    step_ = Step::images;
}

void TextureFileWriter::writePalette(std::span<const std::uint32_t> order) {
    if (!at(Step::header) || !compressed_ || order.size() != palette_.size()) {
        ok_ = false;
        return;
    }
    HeapArray<std::uint8_t> seen;
    if (!seen.allocate(palette_.size())) {
        ok_ = false;
        return;
    }
    for (const std::uint32_t index : order) {
        if (index >= palette_.size() || seen[index] != 0) {
            ok_ = false;
            return;
        }
        seen[index] = 1;
        std::uint8_t entry[kPaletteEntrySize];
        storeU32(entry, palette_[index]);
        out_->write(entry, sizeof entry);
    }
    step_ = Step::images;
}

bool TextureFileWriter::writePlainImage() {
    if (!at(Step::images) || compressed_ || imagesWritten_ == pictures_.size()) return ok_ = false;
    const Picture& picture = *pictures_[imagesWritten_++];
    if (picture.pixels.size() != pictures_[0]->pixels.size()) return ok_ = false;
    const bool wide = plainIndexBytes(palette_.size()) == 2;
    for (const std::uint32_t index : picture.pixels) {
        if (index >= palette_.size()) return ok_ = false;
        if (wide) {
            std::uint8_t two[2];
            storeU16(two, index);
            out_->write(two, 2);
        } else {
            out_->writeByte(static_cast<std::uint8_t>(index));
        }
    }
    return true;
}

bool TextureFileWriter::acceptRecord(std::uint32_t colour, std::span<const std::uint8_t> record) {
    if (colour != nextColour_ || colour >= palette_.size() || record.size() < kRecordHeadSize) return false;
    const RecordHead head = RecordHead::from(record);
    // A general record needs a b, and the picture's: a reader unpacks its cubes with it.
    if (head.isGeneral() && (head.bitCount() == 0 || head.bitCount() != positionBits_)) return false;
    if (record.size() != kRecordHeadSize + head.dataLength()) return false;
    out_->write(record.data(), record.size());
    ++nextColour_;
    return true;
}

bool TextureFileWriter::writeRecords(const RecordSource& source) {
    if (!at(Step::images) || !compressed_ || imagesWritten_ == pictures_.size()) return ok_ = false;
    ++imagesWritten_;
    nextColour_ = 0;
    bool refused = false;
    const bool made = source([&](std::uint32_t colour, std::span<const std::uint8_t> record) {
        refused = refused || !acceptRecord(colour, record);
        return !refused;
    });
    return ok_ = made && !refused && nextColour_ == palette_.size();
}

bool TextureFileWriter::commit() {
    if (!at(Step::images) || imagesWritten_ != pictures_.size()) {
        if (out_ != nullptr) out_->discard();
        return false;
    }
    return out_->commit();
}

}  // namespace qm5
