#include "texture/texture_input.hpp"

#include <algorithm>

#include "core/byte_reader.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

void TextureExtent::start(std::span<const std::uint8_t> header) {
    ByteReader in(header);
    const TextureHeader h = *TextureHeader::read(in);
    end_ = kTextureHeaderSize;
    stage_ = Stage::done;
    stopped_ = true;
    // Nothing past a header that is no texture's is of use to any reader.
    if (!h.hasMagic() || h.version != kTextureVersion) return;
    const std::int32_t colours = h.signedColourCount();
    const std::int32_t width = h.signedWidth();
    const std::int32_t height = h.signedHeight();
    if (colours < 0 || width < 0 || height < 0) return;
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (pixels > maxPixels_) return;

    compressed_ = h.isCompressed();
    colourCount_ = static_cast<std::uint32_t>(colours);
    plainImageBytes_ = pixels * plainIndexBytes(colourCount_);
    images_ = std::min<std::uint64_t>(wanted_, std::max<std::uint64_t>(h.imageCount, 1));
    const std::uint64_t perImage =
        compressed_ ? std::uint64_t{colourCount_} * (kRecordHeadSize + kMaxRecordDataLength) : plainImageBytes_;
    end_ = textureHeadSize(colourCount_);
    bound_ = end_ + images_ * perImage;  // below 2^48: no overflow
    stage_ = Stage::palette;
    stopped_ = false;
}

std::uint64_t TextureExtent::advance(std::span<const std::uint8_t> file) {
    const std::uint64_t have = file.size();
    if (stage_ == Stage::header) {
        if (have < kTextureHeaderSize) return kTextureHeaderSize;
        start(file.first(kTextureHeaderSize));
    }
    if (stage_ == Stage::palette) {
        if (have < end_) return end_;
        // A compressed image of no colours has no records: nothing to walk.
        const bool empty = images_ == 0 || (compressed_ && colourCount_ == 0);
        stage_ = empty ? Stage::done : Stage::images;
    }
    while (stage_ == Stage::images) {
        std::uint64_t next = end_ + plainImageBytes_;
        if (compressed_) {
            if (have < end_ + kRecordHeadSize) return end_ + kRecordHeadSize;
            const RecordHead head = RecordHead::from(file.subspan(static_cast<std::size_t>(end_), kRecordHeadSize));
            next = end_ + kRecordHeadSize + head.dataLength();
        }
        if (have < next) return next;
        end_ = next;
        const bool imageDone = !compressed_ || ++record_ == colourCount_;
        if (!imageDone) continue;
        record_ = 0;
        if (++image_ == images_) stage_ = Stage::done;
    }
    return end_;
}

namespace {

// Read-ahead, within the header's bound: one system read per 64 KiB
// rather than two per record.
constexpr std::uint64_t kReadAhead = std::uint64_t{1} << 16;

}  // namespace

ReadFileError readTextureFile(const char* path, const TextureReadRequest& request, TextureRead& out) {
    out.bytes.reset();
    out.following = 0;
    out.exact = true;
    out.error.clear();
    out.opened = false;
    InputStream in;
    if (request.stream != nullptr) {
        in.openStream(request.stream, true);
    } else if (in.open(path, true) != ReadFileError::none) {
        out.error = in.error();
        return ReadFileError::cannotOpen;
    }
    out.opened = true;
    TextureExtent walk(request.images, request.maxPixels);
    std::span<const std::uint8_t> have;
    for (;;) {
        const std::uint64_t want = walk.advance(have);
        if (walk.done()) break;
        const std::uint64_t ask = std::min<std::uint64_t>(
            std::max(want, std::min(walk.bound(), have.size() + kReadAhead)), SIZE_MAX);
        have = in.head(static_cast<std::size_t>(ask));
        if (in.failed()) {
            out.error = in.error();
            return ReadFileError::cannotOpen;
        }
        if (have.size() >= want) continue;
        if (!in.ended()) return ReadFileError::outOfMemory;
        break;  // the input ends inside the texture: the readers say where
    }
    std::uint64_t size = 0;
    if (in.ended()) {
        // Everything there is has been read.
    } else if (in.regularFileSize(size)) {
        out.following = size > have.size() ? size - have.size() : 0;
    } else if (request.tail && walk.complete()) {
        // A stream's size is known only by reading it: one byte says
        // whether anything follows.
        have = in.head(have.size() + 1);
        if (in.failed()) {
            out.error = in.error();
            return ReadFileError::cannotOpen;
        }
        out.exact = in.ended();
    } else {
        out.exact = false;
    }
    return in.take(out.bytes) ? ReadFileError::none : ReadFileError::outOfMemory;
}

}  // namespace qm5
