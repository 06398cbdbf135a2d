#include "maker/texture_writer.hpp"

#include <memory>
#include <new>

#include "core/byte_reader.hpp"
#include "maker/kept_records.hpp"
#include "maker/palette_order_job.hpp"
#include "maker/picture_compression.hpp"
#include "texture/texture_format.hpp"
#include "texture/texture_writer.hpp"

namespace qm5 {

namespace {

// One run of writeTexture.
class TextureJob {
public:
    TextureJob(const EncodeRequest& request, std::span<const Picture* const> pictures,
               std::span<const std::uint32_t> palette, EncodeObserver& observer, EncodeResult& result)
        : request_(request),
          pictures_(pictures),
          observer_(observer),
          result_(result),
          colourCount_(static_cast<std::uint32_t>(palette.size())),
          pixelCount_(pictures.empty() ? 0 : pictures[0]->pixels.size()),
          file_(pictures, palette, result.mipmapLevels) {}

    EncodeError run();

private:
    bool compressing() const { return request_.mode != EncodeMode::plain || request_.smallest; }
    bool best() const { return request_.mode == EncodeMode::best; }
    // The palette order search runs for the best mode with an effort, on
    // the palette stage's palette (a caller's palette keeps its order).
    bool ordering() const { return best() && request_.effort > 0 && request_.palette.empty(); }
    bool open();
    void writeHead(bool compressed);
    void writePlainImages();
    MinimiseStatus searchOrder(std::uint64_t sizeLimit, bool& ran, std::uint32_t& failedImage,
                               std::uint32_t& failedColour);
    bool putOrdered(std::size_t image, const RecordSink& put) const;
    EncodeError writeOrderedImages();
    EncodeError writeCompressedImages();
    EncodeError writeSmallest();
    EncodeError keepWhileSmaller(KeptRecords& kept, bool& smaller);
    EncodeError keepSearched(std::uint64_t total, bool& ran, bool& smaller);
    EncodeError failure(MinimiseStatus status, std::size_t image, std::uint32_t failedColour);
    // A record made: the observer hears of it, and may end the run.
    bool made(std::size_t image, std::uint32_t colour, std::uint64_t imageBytes);
    bool cancelled() {
        cancelled_ = cancelled_ || observer_.cancelled();
        return cancelled_;
    }
    MinimiseStatus compress(std::size_t image, const RecordSink& sink, std::uint32_t& failedColour) {
        observer_.begin(Stage::compressing, static_cast<std::uint32_t>(image),
                        static_cast<std::uint32_t>(pictures_.size()));
        return compressPicture(best(), *pictures_[image], colourCount_, threads_, request_.limits.memory, sink,
                               failedColour, &observer_);
    }
    void writing(std::uint64_t done, std::uint64_t total) {
        if (done == 0) observer_.begin(Stage::writing);
        observer_.advance(done, total);
    }

    const EncodeRequest& request_;
    std::span<const Picture* const> pictures_;
    EncodeObserver& observer_;
    EncodeResult& result_;
    std::uint32_t colourCount_;
    std::uint64_t pixelCount_;  // P of every picture
    unsigned threads_ = 1;
    bool cancelled_ = false;
    TextureFileWriter file_;
    // The order found and its records, when they are to be written.
    std::unique_ptr<PaletteOrderSearch> order_;
};

EncodeError TextureJob::run() {
    // Every field is checked before anything is compressed or written: the
    // header stores 16 bits, and a count that wrapped would describe
    // another texture than the one written.
    result_.header = checkHeaderRanges(pictures_, colourCount_, result_.mipmapLevels);
    if (result_.header.field != HeaderField::none) return EncodeError::headerOutOfRange;
    result_.plainBytes = plainTextureSize(colourCount_, pixelCount_, pictures_.size());
    // The engines' working memory grows with the picture; a picture they
    // cannot compress within the bound is refused before anything is written.
    result_.memoryLimit = request_.limits.memory;
    if (compressing()) {
        threads_ = compressThreads(pixelCount_, colourCount_, request_.threads, best(), request_.limits.memory);
        result_.tooLarge = threads_ == 0;
        if (result_.tooLarge && !request_.smallest) return EncodeError::tooLarge;
    }
    if (cancelled()) return EncodeError::cancelled;
    if (!open()) {
        result_.fileError = file_.fileError();
        return EncodeError::cannotOpen;
    }
    observer_.writing();
    EncodeError error = EncodeError::none;
    if (request_.smallest) {
        error = writeSmallest();
    } else {
        result_.compressed = request_.mode != EncodeMode::plain;
        if (!result_.compressed) {
            writeHead(false);
            writePlainImages();
        } else if (ordering()) {
            error = writeOrderedImages();
        } else {
            writeHead(true);
            error = writeCompressedImages();
        }
    }
    // Compressed records went to the file as they came; what is left is
    // to make it appear under its name.
    if (error == EncodeError::none && cancelled()) error = EncodeError::cancelled;
    if (error == EncodeError::none && result_.compressed) writing(0, 1);
    if (error == EncodeError::none && !file_.commit()) error = EncodeError::writeFailed;
    if (error == EncodeError::writeFailed) result_.fileError = file_.fileError();
    return error;
}

bool TextureJob::open() {
    if (request_.sink != nullptr) return file_.open(*request_.sink);
    if (request_.stream != nullptr) return file_.openStream(request_.stream);
    return file_.open(request_.path);
}

void TextureJob::writeHead(bool compressed) {
    observer_.writingHeader();
    file_.writeHeader(compressed);
    observer_.writingPalette();
    if (compressed && order_) {
        file_.writePalette(order_->order());
    } else {
        file_.writePalette();
    }
}

// An index the writer refuses makes commit() fail; none reaches it from the palette stage.
void TextureJob::writePlainImages() {
    observer_.writingPlainImages();
    writing(0, pictures_.size());
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        (void)file_.writePlainImage();
        observer_.plainImageWritten(static_cast<std::uint32_t>(i));
        writing(i + 1, pictures_.size());
    }
}

bool TextureJob::made(std::size_t image, std::uint32_t colour, std::uint64_t imageBytes) {
    observer_.advance(std::uint64_t{colour} + 1, colourCount_);
    observer_.recordMade(static_cast<std::uint32_t>(image), colour, colourCount_, imageBytes, pixelCount_);
    return !cancelled();
}

// The records go straight to the file, each followed by the observer's word.
EncodeError TextureJob::writeCompressedImages() {
    observer_.compressingImages();
    std::uint64_t total = textureHeadSize(colourCount_);  // the file so far
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        std::uint64_t written = 0;  // the record bytes of this picture so far
        MinimiseStatus status = MinimiseStatus::ok;
        std::uint32_t failedColour = 0;
        const bool complete = file_.writeRecords([&](const RecordSink& put) {
            const RecordSink shown = [&](std::uint32_t c, std::span<const std::uint8_t> record) {
                if (!put(c, record)) return false;
                written += record.size();
                total += record.size();
                return made(i, c, written);
            };
            status = compress(i, shown, failedColour);
            return status == MinimiseStatus::ok;
        });
        observer_.imageCompressed(static_cast<std::uint32_t>(i));
        if (status != MinimiseStatus::ok) return failure(status, i, failedColour);
        if (cancelled_) return EncodeError::cancelled;
        if (!complete) return EncodeError::writeFailed;
    }
    result_.compressedBytes = total;
    return EncodeError::none;
}

// The palette order search over all pictures; order_ holds its result when
// it found an order. ran is false when the search cannot run within the
// memory limit: the pictures are then compressed in the maker's order.
MinimiseStatus TextureJob::searchOrder(std::uint64_t sizeLimit, bool& ran, std::uint32_t& failedImage,
                                       std::uint32_t& failedColour) {
    ran = false;
    std::unique_ptr<PaletteOrderSearch> search(new (std::nothrow) PaletteOrderSearch);
    if (!search) return MinimiseStatus::outOfMemory;
    OrderJobOptions options;
    options.effort = request_.effort;
    options.threads = threads_;
    options.memoryLimit = request_.limits.memory;
    options.sizeLimit = sizeLimit;
    options.observer = &observer_;
    const MinimiseStatus status = searchPaletteOrder(pictures_, colourCount_, options, *search, ran);
    failedImage = search->failedImage();
    failedColour = search->failedColour();
    if (ran && status == MinimiseStatus::ok && search->found()) order_ = std::move(search);
    return status;
}

// The records of image i in the order found.
bool TextureJob::putOrdered(std::size_t image, const RecordSink& put) const {
    for (std::uint32_t c = 0; c < colourCount_; ++c) {
        if (!put(c, order_->record(image, c))) return false;
    }
    return true;
}

// Compressed in the order the search chose, or in the maker's order when
// the search cannot run.
EncodeError TextureJob::writeOrderedImages() {
    bool ran = false;
    std::uint32_t failedImage = 0;
    std::uint32_t failedColour = 0;
    const MinimiseStatus status = searchOrder(~std::uint64_t{0}, ran, failedImage, failedColour);
    if (cancelled()) return EncodeError::cancelled;
    if (!ran) {
        writeHead(true);
        return writeCompressedImages();
    }
    if (status != MinimiseStatus::ok) return failure(status, failedImage, failedColour);
    writeHead(true);
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        if (!file_.writeRecords([&](const RecordSink& put) { return putOrdered(i, put); })) {
            return EncodeError::writeFailed;
        }
    }
    result_.compressedBytes = textureHeadSize(colourCount_) + order_->recordBytes();
    return EncodeError::none;
}

// Compressed only when smaller than plain: the records are kept until the
// choice is made, then written after the header that states it.
EncodeError TextureJob::writeSmallest() {
    KeptRecords kept;
    bool smaller = false;
    if (!result_.tooLarge) {
        const EncodeError error = keepWhileSmaller(kept, smaller);
        if (error != EncodeError::none) return error;
    }
    result_.compressed = smaller;
    writeHead(smaller);
    if (!smaller) {
        writePlainImages();
        return EncodeError::none;
    }
    ByteReader records(kept.span());
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        const bool complete = file_.writeRecords([&](const RecordSink& put) {
            return order_ ? putOrdered(i, put) : replayRecords(records, colourCount_, put);
        });
        if (!complete) return EncodeError::writeFailed;
    }
    return EncodeError::none;
}

// With the palette order search: its records are the ones kept. ran is
// false when it cannot run, and the maker's order is compressed instead.
EncodeError TextureJob::keepSearched(std::uint64_t total, bool& ran, bool& smaller) {
    // The search judges no order further than plain's size (a tie goes to plain).
    std::uint32_t failedImage = 0;
    std::uint32_t failedColour = 0;
    const MinimiseStatus status = searchOrder(result_.plainBytes - total, ran, failedImage, failedColour);
    if (cancelled()) return EncodeError::cancelled;
    if (!ran) return EncodeError::none;
    if (status == MinimiseStatus::recordTooLong) {
        failure(status, failedImage, failedColour);
    } else if (status != MinimiseStatus::ok) {
        return EncodeError::outOfMemory;
    }
    smaller = order_ != nullptr;
    if (smaller) result_.compressedBytes = total + order_->recordBytes();
    return EncodeError::none;
}

// Compresses the pictures into kept, stopping as soon as the compressed
// texture can no longer be smaller than plain; smaller tells whether it is.
EncodeError TextureJob::keepWhileSmaller(KeptRecords& kept, bool& smaller) {
    observer_.compressingImages();
    std::uint64_t total = textureHeadSize(colourCount_);  // the compressed file so far
    if (ordering()) {
        bool ran = false;
        const EncodeError error = keepSearched(total, ran, smaller);
        if (error != EncodeError::none || ran) return error;
    }
    bool pastPlain = false;
    bool outOfMemory = false;
    for (std::size_t i = 0; i < pictures_.size() && !pastPlain; ++i) {
        std::uint64_t written = 0;
        const RecordSink keep = [&](std::uint32_t c, std::span<const std::uint8_t> record) {
            total += record.size();
            written += record.size();
            // A tie goes to plain.
            if (total >= result_.plainBytes) {
                pastPlain = true;
                return false;
            }
            if (!kept.append(record)) {
                outOfMemory = true;
                return false;
            }
            return made(i, c, written);
        };
        std::uint32_t failedColour = 0;
        const MinimiseStatus status = compress(i, keep, failedColour);
        observer_.imageCompressed(static_cast<std::uint32_t>(i));
        if (status == MinimiseStatus::recordTooLong) {
            failure(status, i, failedColour);
            pastPlain = true;
        } else if (status != MinimiseStatus::ok || outOfMemory) {
            return EncodeError::outOfMemory;
        } else if (cancelled_) {
            return EncodeError::cancelled;
        }
    }
    smaller = !pastPlain;
    if (smaller) result_.compressedBytes = total;
    return EncodeError::none;
}

// Records in the result why image i could not be compressed.
EncodeError TextureJob::failure(MinimiseStatus status, std::size_t image, std::uint32_t failedColour) {
    if (status != MinimiseStatus::recordTooLong) return EncodeError::outOfMemory;
    result_.recordTooLong = true;
    result_.failedImage = static_cast<std::uint32_t>(image);
    result_.failedColour = failedColour;
    return EncodeError::recordTooLong;
}

}  // namespace

void writeTexture(const EncodeRequest& request, std::span<const Picture* const> pictures,
                  std::span<const std::uint32_t> palette, EncodeObserver& observer, EncodeResult& result) {
    result.error = TextureJob(request, pictures, palette, observer, result).run();
}

}  // namespace qm5
