#include "maker/texture_writer.hpp"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "core/byte_reader.hpp"
#include "core/heap_array.hpp"
#include "maker/reports.hpp"
#include "minimiser/best_cover.hpp"
#include "minimiser/fast_minimiser.hpp"
#include "minimiser/function_minimiser.hpp"
#include "texture/texture_format.hpp"
#include "texture/texture_writer.hpp"

namespace qm5 {

namespace {

// The literal pipeline: one PositionTable per colour, one FunctionMinimiser
// per table. On colour c, positions of index c are on, positions of a lower
// index (already written, painted later by a reader) and positions past the
// picture are don't care, positions of a higher index are off.
MinimiseStatus compressWithReference(Console& console, const Picture& picture, std::uint32_t colourCount,
                                     const RecordSink& sink, std::uint32_t& failedColour) {
    const std::uint64_t pixelCount = picture.pixels.size();
    const int b = positionBitCount(pixelCount);
    const std::uint64_t domain = std::uint64_t{1} << b;
    HeapArray<std::int32_t> table;
    if (!table.allocate(domain)) return MinimiseStatus::outOfMemory;
    for (std::uint64_t p = pixelCount; p < domain; ++p) table[p] = 2;
    for (std::uint32_t c = 0; c < colourCount; ++c) {
        for (std::uint64_t p = 0; p < pixelCount; ++p) {
            const std::uint32_t index = picture.pixels[p];
            table[p] = index == c ? 1 : index < c ? 2 : 0;
        }
        FunctionMinimiser minimiser([&console](const char* message) { console.print("%s", message); });
        if (!minimiser.minimise(static_cast<std::int32_t>(domain), table.data())) {
            failedColour = c;
            return minimiser.status();
        }
        if (!sink(c, minimiser.record())) return MinimiseStatus::ok;
    }
    return MinimiseStatus::ok;
}

// The records of one picture from the engine, colour 0 first. progress
// (when given) hears of the colours as their records arrive, through sink.
MinimiseStatus compressPicture(Console& console, MinimiserEngine engine, const Picture& picture,
                               std::uint32_t colourCount, unsigned threads, std::uint64_t memoryLimit,
                               const RecordSink& sink, std::uint32_t& failedColour, Progress* progress) {
    CompressOptions options;
    options.threads = threads;
    options.memoryLimit = std::min(options.memoryLimit, memoryLimit);
    // The engines report their own work as it goes (within a colour too),
    // into the same stage as the colours' records; the display keeps the
    // larger fraction of a stage, so the two never make it go back.
    if (progress != nullptr) {
        options.progress = [progress](std::uint64_t done, std::uint64_t total) { progress->advance(done, total); };
    }
    const std::uint32_t* indices = picture.pixels.data();
    const std::uint64_t pixelCount = picture.pixels.size();
    MinimiseStatus status = MinimiseStatus::ok;
    switch (engine) {
        case MinimiserEngine::reference:
            return compressWithReference(console, picture, colourCount, sink, failedColour);
        case MinimiserEngine::fast: {
            PictureCompressor compressor;
            status = compressor.compress(indices, pixelCount, colourCount, options, sink);
            failedColour = compressor.failedColour();
            break;
        }
        case MinimiserEngine::best: {
            BestCompressor compressor;
            status = compressor.compress(indices, pixelCount, colourCount, options, sink);
            failedColour = compressor.failedColour();
            break;
        }
    }
    return status;
}

// Threads for the fast engines: as many as asked (0: one per core) while the
// working memory stays within memoryLimit; 0 when even one thread would pass
// it. The smaller covers of the best engine add the positions sorted by
// colour and the solver's tables, a few bytes per position.
unsigned compressThreads(std::uint64_t pixelCount, std::uint32_t colourCount, unsigned asked, MinimiserEngine engine,
                         std::uint64_t memoryLimit) {
    unsigned threads = asked != 0 ? asked : std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    const int b = positionBitCount(pixelCount);
    const std::uint64_t extra = engine == MinimiserEngine::best
                                    ? 4 * pixelCount + 8 * (std::uint64_t{colourCount} + 1) + (std::uint64_t{16} << b)
                                    : 0;
    const std::uint64_t engineLimit = std::min(CompressOptions{}.memoryLimit, memoryLimit);
    for (; threads > 0; --threads) {
        if (PictureCompressor::workingMemoryBound(pixelCount, colourCount, threads, engineLimit) + extra <= memoryLimit)
            break;
    }
    return threads;
}

// Records kept until the choice between plain and compressed is made; they
// stay below the plain texture's size.
class KeptRecords {
public:
    [[nodiscard]] bool append(std::span<const std::uint8_t> record) {
        if (size_ + record.size() > data_.size()) {
            const std::uint64_t grown =
                std::max<std::uint64_t>({std::uint64_t{1} << 16, 2 * data_.size(), size_ + record.size()});
            if (!data_.resize(grown)) return false;
        }
        std::copy(record.begin(), record.end(), data_.data() + size_);
        size_ += record.size();
        return true;
    }
    std::span<const std::uint8_t> span() const { return {data_.data(), static_cast<std::size_t>(size_)}; }

private:
    HeapArray<std::uint8_t> data_;
    std::uint64_t size_ = 0;
};

// Hands the next colourCount kept records to sink; each record's length
// comes from its head.
bool replayRecords(ByteReader& kept, std::uint32_t colourCount, const RecordSink& sink) {
    for (std::uint32_t c = 0; c < colourCount; ++c) {
        const auto head = kept.readSpan(kRecordHeadSize);
        if (!head) return false;
        const auto data = kept.readSpan(RecordHead::from(*head).dataLength());
        if (!data || !sink(c, {head->data(), kRecordHeadSize + data->size()})) return false;
    }
    return true;
}

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
    bool classic() const { return !options_.smallest && options_.engine != MinimiserEngine::best; }
    void report(const char* message) {
        if (classic()) reportError(console_, message);
    }
    void writeHead(bool compressed);
    void writePlainImages();
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
        return compressPicture(console_, options_.engine, *pictures_[image], colourCount_, threads_,
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
    if ((options_.compress || options_.smallest) && options_.engine != MinimiserEngine::reference) {
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
        writeHead(options_.compress);
        outcome_.compressed = options_.compress;
        if (options_.compress) {
            result = writeCompressedImages();
        } else {
            writePlainImages();
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
    file_.writePalette();
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
        if (!file_.writeRecords([&](const RecordSink& put) { return replayRecords(records, colourCount_, put); })) {
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
