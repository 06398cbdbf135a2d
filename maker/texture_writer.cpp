#include "maker/texture_writer.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <thread>

#include "core/byte_reader.hpp"
#include "core/heap_array.hpp"
#include "maker/kept_records.hpp"
#include "maker/palette_order_job.hpp"
#include "maker/picture_compression.hpp"
#include "maker/reports.hpp"
#include "texture/texture_format.hpp"
#include "texture/texture_writer.hpp"

namespace qm5 {

namespace {

// One run of writeTexture.
class TextureJob {
public:
    TextureJob(Console& console, std::span<const Picture* const> pictures, std::span<const std::uint32_t> palette,
               std::int32_t mipmapCount, const TextureWriteOptions& options, WriteOutcome& outcome)
        : console_(console),
          pictures_(pictures),
          options_(options),
          outcome_(outcome),
          colourCount_(static_cast<std::uint32_t>(palette.size())),
          pixelCount_(pictures.empty() ? 0 : pictures[0]->pixels.size()),
          mipmapCount_(mipmapCount),
          file_(pictures, palette, mipmapCount) {}

    // Into the file outputName, or into sink when one is given.
    WriteResult run(const char* outputName, OutputSink* sink);

private:
    // The modes qm5_maker has print its section lines and report failures.
    bool classic() const { return !options_.smallest && options_.engine != RecordEngine::best; }
    void report(const char* message) {
        if (classic()) reportError(console_, message);
    }
    void writeHead(bool compressed);
    void writePlainImages();
    // The palette order search runs for the best engine with an effort.
    bool ordering() const { return options_.engine == RecordEngine::best && options_.orderEffort > 0; }
    MinimiseStatus searchOrder(std::uint64_t sizeLimit, bool& ran, std::uint32_t& failedImage,
                               std::uint32_t& failedColour);
    bool putOrdered(std::size_t image, const RecordSink& put) const;
    WriteResult writeOrderedImages();
    WriteResult writeCompressedImages();
    WriteResult writeSmallest();
    WriteResult keepWhileSmaller(KeptRecords& kept, bool& smaller);
    WriteResult failure(MinimiseStatus status, std::size_t image, std::uint32_t failedColour);
    void progress(std::size_t image, std::uint32_t colour, std::uint64_t written);
    MinimiseStatus compress(std::size_t image, const RecordSink& sink, std::uint32_t& failedColour) {
        if (options_.progress != nullptr) {
            options_.progress->begin(Stage::compressing, static_cast<std::uint32_t>(image),
                                     static_cast<std::uint32_t>(pictures_.size()));
        }
        return compressPicture(options_.engine, *pictures_[image], colourCount_, threads_,
                               options_.memoryLimit, sink, failedColour, options_.progress);
    }
    void writing(std::uint64_t done, std::uint64_t total) {
        if (options_.progress == nullptr) return;
        if (done == 0) options_.progress->begin(Stage::writing);
        options_.progress->advance(done, total);
    }

    Console& console_;
    std::span<const Picture* const> pictures_;
    const TextureWriteOptions& options_;
    WriteOutcome& outcome_;
    std::uint32_t colourCount_;
    std::uint64_t pixelCount_;  // P of every picture
    std::int32_t mipmapCount_;
    unsigned threads_ = 1;
    TextureFileWriter file_;
    // The order found and its records, when they are to be written.
    std::unique_ptr<PaletteOrderSearch> order_;
};

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

WriteResult TextureJob::run(const char* outputName, OutputSink* sink) {
    outcome_ = WriteOutcome{};
    // Every field is checked before anything is compressed or written: the
    // header stores 16 bits, and a count that wrapped would describe
    // another texture than the one written.
    outcome_.header = checkHeaderRanges(pictures_, colourCount_, mipmapCount_);
    if (outcome_.header.field != HeaderField::none) {
        report(headerRangeMessage(outcome_.header));
        return WriteResult::headerOutOfRange;
    }
    outcome_.plainBytes = plainTextureSize(colourCount_, pixelCount_, pictures_.size());
    // The fast engines' working memory grows with 3^b; a picture they cannot
    // compress within the bound is refused before anything is written.
    if (options_.compress || options_.smallest) {
        threads_ = compressThreads(pixelCount_, colourCount_, options_.threads, options_.engine, options_.memoryLimit);
        outcome_.tooLarge = threads_ == 0;
        if (outcome_.tooLarge && !options_.smallest) {
            report("Picture too large to compress, write it uncompressed !");
            return WriteResult::outOfMemory;
        }
    }
    const bool opened = sink != nullptr                 ? file_.open(*sink)
                        : options_.stream != nullptr ? file_.openStream(options_.stream)
                                                     : file_.open(outputName);
    if (!opened) {
        outcome_.fileError = file_.fileError();
        report("Cannot open destination file !");
        return WriteResult::cannotOpen;
    }
    console_.print("Writing texture to HDD ..\n");
    WriteResult result = WriteResult::written;
    if (options_.smallest) {
        result = writeSmallest();
    } else {
        outcome_.compressed = options_.compress;
        if (!options_.compress) {
            writeHead(false);
            writePlainImages();
        } else if (ordering()) {
            result = writeOrderedImages();
        } else {
            writeHead(true);
            result = writeCompressedImages();
        }
    }
    // Compressed records went to the file as they came; what is left is
    // to make it appear under its name.
    if (result == WriteResult::written && outcome_.compressed) writing(0, 1);
    if (result == WriteResult::written && !file_.commit()) {
        report("Cannot write destination file !");
        result = WriteResult::writeFailed;
    }
    if (result == WriteResult::writeFailed) outcome_.fileError = file_.fileError();
    return result;
}

void TextureJob::writeHead(bool compressed) {
    if (classic()) console_.print("   - Writing header ..\n");
    file_.writeHeader(compressed);
    if (classic()) console_.print("   - Writing palette ..\n");
    if (compressed && order_) {
        file_.writePalette(order_->order());
    } else {
        file_.writePalette();
    }
}

// An index the writer refuses makes commit() fail; none reaches it from the palette stage.
void TextureJob::writePlainImages() {
    console_.print("   - Writing image ..\n");
    writing(0, pictures_.size());
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        (void)file_.writePlainImage();
        console_.print("\r        - Bitmap %3d\n", static_cast<int>(i));
        writing(i + 1, pictures_.size());
    }
}

// The records go straight to the file, each followed by its progress line.
WriteResult TextureJob::writeCompressedImages() {
    console_.print("   - Compressing image ..\n");
    std::uint64_t total = textureHeadSize(colourCount_);  // the file so far
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        std::uint64_t written = 0;  // S: record bytes of this picture so far
        MinimiseStatus status = MinimiseStatus::ok;
        std::uint32_t failedColour = 0;
        const bool complete = file_.writeRecords([&](const RecordSink& put) {
            const RecordSink shown = [&](std::uint32_t c, std::span<const std::uint8_t> record) {
                if (!put(c, record)) return false;
                written += record.size();
                total += record.size();
                progress(i, c, written);
                return true;
            };
            status = compress(i, shown, failedColour);
            return status == MinimiseStatus::ok;
        });
        console_.print("\n");
        if (status != MinimiseStatus::ok) return failure(status, i, failedColour);
        if (!complete) {
            report("Cannot write destination file !");
            return WriteResult::writeFailed;
        }
    }
    outcome_.compressedBytes = total;
    return WriteResult::written;
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
    options.effort = options_.orderEffort;
    options.threads = threads_;
    options.memoryLimit = options_.memoryLimit;
    options.sizeLimit = sizeLimit;
    options.progress = options_.progress;
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
WriteResult TextureJob::writeOrderedImages() {
    bool ran = false;
    std::uint32_t failedImage = 0;
    std::uint32_t failedColour = 0;
    const MinimiseStatus status = searchOrder(~std::uint64_t{0}, ran, failedImage, failedColour);
    if (!ran) {
        writeHead(true);
        return writeCompressedImages();
    }
    if (status != MinimiseStatus::ok) return failure(status, failedImage, failedColour);
    writeHead(true);
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        if (!file_.writeRecords([&](const RecordSink& put) { return putOrdered(i, put); })) {
            return WriteResult::writeFailed;
        }
    }
    outcome_.compressedBytes = textureHeadSize(colourCount_) + order_->recordBytes();
    return WriteResult::written;
}

// Compressed only when smaller than plain: the records are kept until the
// choice is made, then written after the header that states it.
WriteResult TextureJob::writeSmallest() {
    KeptRecords kept;
    bool smaller = false;
    if (!outcome_.tooLarge) {
        const WriteResult result = keepWhileSmaller(kept, smaller);
        if (result != WriteResult::written) return result;
    }
    outcome_.compressed = smaller;
    writeHead(smaller);
    if (!smaller) {
        writePlainImages();
        return WriteResult::written;
    }
    ByteReader records(kept.span());
    for (std::size_t i = 0; i < pictures_.size(); ++i) {
        const bool complete = file_.writeRecords([&](const RecordSink& put) {
            return order_ ? putOrdered(i, put) : replayRecords(records, colourCount_, put);
        });
        if (!complete) {
            return WriteResult::writeFailed;
        }
    }
    return WriteResult::written;
}

// Compresses the pictures into kept, stopping as soon as the compressed
// texture can no longer be smaller than plain; smaller tells whether it is.
WriteResult TextureJob::keepWhileSmaller(KeptRecords& kept, bool& smaller) {
    console_.print("   - Compressing image ..\n");
    std::uint64_t total = textureHeadSize(colourCount_);  // the compressed file so far
    if (ordering()) {
        // The search judges no order further than plain's size (a tie goes to plain).
        bool ran = false;
        std::uint32_t failedImage = 0;
        std::uint32_t failedColour = 0;
        const MinimiseStatus status = searchOrder(outcome_.plainBytes - total, ran, failedImage, failedColour);
        if (ran) {
            if (status == MinimiseStatus::recordTooLong) {
                failure(status, failedImage, failedColour);
            } else if (status != MinimiseStatus::ok) {
                return WriteResult::outOfMemory;
            }
            smaller = order_ != nullptr;
            if (smaller) outcome_.compressedBytes = total + order_->recordBytes();
            return WriteResult::written;
        }
    }
    bool pastPlain = false;
    bool outOfMemory = false;
    for (std::size_t i = 0; i < pictures_.size() && !pastPlain; ++i) {
        std::uint64_t written = 0;
        const RecordSink keep = [&](std::uint32_t c, std::span<const std::uint8_t> record) {
            total += record.size();
            written += record.size();
            // A tie goes to plain.
            if (total >= outcome_.plainBytes) {
                pastPlain = true;
                return false;
            }
            if (!kept.append(record)) {
                outOfMemory = true;
                return false;
            }
            progress(i, c, written);
            return true;
        };
        std::uint32_t failedColour = 0;
        const MinimiseStatus status = compress(i, keep, failedColour);
        console_.print("\n");
        if (status == MinimiseStatus::recordTooLong) {
            failure(status, i, failedColour);
            pastPlain = true;
        } else if (status != MinimiseStatus::ok || outOfMemory) {
            return WriteResult::outOfMemory;
        }
    }
    smaller = !pastPlain;
    if (smaller) outcome_.compressedBytes = total;
    return WriteResult::written;
}

// Fills the outcome with why image i could not be compressed and reports it
// (the maker's modes only).
WriteResult TextureJob::failure(MinimiseStatus status, std::size_t image, std::uint32_t failedColour) {
    if (status == MinimiseStatus::recordTooLong) {
        outcome_.recordTooLong = true;
        outcome_.failedImage = static_cast<std::uint32_t>(image);
        outcome_.failedColour = failedColour;
        char message[160];
        std::snprintf(message, sizeof message,
                      "Colour %u of image %u needs more than 65535 bytes, write the picture uncompressed !",
                      static_cast<unsigned>(failedColour), static_cast<unsigned>(image));
        report(message);
        return WriteResult::recordTooLong;
    }
    if (classic()) reportOutOfMemory(console_);
    return WriteResult::outOfMemory;
}

// The percentage projects the records so far onto all K records of the
// picture, against the picture as 32-bit pixels (4P bytes).
void TextureJob::progress(std::size_t image, std::uint32_t colour, std::uint64_t written) {
    if (options_.progress != nullptr) options_.progress->advance(std::uint64_t{colour} + 1, colourCount_);
    const std::uint64_t percent =
        std::uint64_t{colourCount_} * written * 100 / (std::uint64_t{colour} + 1) / (4 * pixelCount_);
    console_.print("\r        - Image %3d, chunk %4d / %4d, compress = %3d %%", static_cast<int>(image + 1),
                   static_cast<int>(colour + 1), static_cast<int>(colourCount_), static_cast<int>(percent));
}

}  // namespace

WriteResult writeTexture(Console& console, const char* outputName, std::span<const Picture* const> pictures,
                         std::span<const std::uint32_t> palette, std::int32_t mipmapCount,
                         const TextureWriteOptions& options, WriteOutcome* outcome) {
    WriteOutcome ignored;
    return TextureJob(console, pictures, palette, mipmapCount, options, outcome != nullptr ? *outcome : ignored)
        .run(outputName, nullptr);
}

WriteResult writeTexture(Console& console, OutputSink& out, std::span<const Picture* const> pictures,
                         std::span<const std::uint32_t> palette, std::int32_t mipmapCount,
                         const TextureWriteOptions& options, WriteOutcome* outcome) {
    WriteOutcome ignored;
    return TextureJob(console, pictures, palette, mipmapCount, options, outcome != nullptr ? *outcome : ignored)
        .run(nullptr, &out);
}

}  // namespace qm5
