#include "cli/encode_writer.hpp"

#include <algorithm>

#include "minimiser/best_cover.hpp"
#include "minimiser/fast_minimiser.hpp"
#include "core/byte_reader.hpp"
#include "core/file_io.hpp"
#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"

namespace qm5::cli {

namespace {

// Record bytes kept until the choice is made; with smallest they stay below
// the plain images' size.
class ByteBuffer {
public:
    [[nodiscard]] bool append(std::span<const std::uint8_t> bytes) {
        if (size_ + bytes.size() > data_.size()) {
            const std::uint64_t grown = std::max<std::uint64_t>({std::uint64_t{1} << 16, 2 * data_.size(), size_ + bytes.size()});
            if (!data_.resize(grown)) return false;
        }
        std::copy(bytes.begin(), bytes.end(), data_.data() + size_);
        size_ += bytes.size();
        return true;
    }
    std::span<const std::uint8_t> span() const { return {data_.data(), static_cast<std::size_t>(size_)}; }
    std::uint64_t size() const { return size_; }

private:
    HeapArray<std::uint8_t> data_;
    std::uint64_t size_ = 0;
};

void writeHead(AtomicOutputFile& file, std::span<const Picture* const> pictures, std::span<const std::uint32_t> palette,
               std::int32_t mipmapCount, bool compressed) {
    TextureHeader header;
    header.colourCount = static_cast<std::uint16_t>(palette.size());
    header.mipmapCount = static_cast<std::uint16_t>(mipmapCount);
    header.imageCount = static_cast<std::uint16_t>(pictures.size());
    header.compression = compressed ? 1 : 0;
    header.width = static_cast<std::uint16_t>(pictures[0]->width);
    header.height = static_cast<std::uint16_t>(pictures[0]->height);
    std::uint8_t bytes[kTextureHeaderSize];
    header.store(bytes);
    file.write(bytes, sizeof bytes);
    for (const std::uint32_t colour : palette) {
        std::uint8_t entry[kPaletteEntrySize];
        storeU32(entry, colour);
        file.write(entry, sizeof entry);
    }
}

void writePlainImages(Console& console, AtomicOutputFile& file, std::span<const Picture* const> pictures,
                      std::size_t colourCount) {
    console.print("   - Writing image ..\n");
    const bool wide = colourCount > 256;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        for (const std::uint32_t index : pictures[i]->pixels) {
            if (wide) {
                std::uint8_t two[2];
                storeU16(two, index);
                file.write(two, 2);
            } else {
                file.writeByte(static_cast<std::uint8_t>(index));
            }
        }
        console.print("\r        - Bitmap %3d\n", static_cast<int>(i));
    }
}

// Threads as asked while the working memory stays within
// kCompressMemoryLimit (the maker's bound); 0 when even one would pass it.
// The smaller covers add the positions sorted by colour and the solver's
// tables, a few bytes per position.
unsigned compressThreads(std::uint64_t pixelCount, std::uint32_t colourCount, unsigned asked, bool best) {
    const int b = positionBitCount(pixelCount);
    const std::uint64_t extra = best ? 4 * pixelCount + 8 * (std::uint64_t{colourCount} + 1) + (std::uint64_t{16} << b) : 0;
    for (unsigned threads = std::max(1u, asked); threads > 0; --threads) {
        if (PictureCompressor::workingMemoryBound(pixelCount, colourCount, threads) + extra <= kCompressMemoryLimit) {
            return threads;
        }
    }
    return 0;
}

}  // namespace

WriteResult writeChosenTexture(Console& console, const char* outputName, std::span<const Picture* const> pictures,
                               std::span<const std::uint32_t> palette, std::int32_t mipmapCount,
                               const EncodeChoice& choice, EncodeOutcome& outcome) {
    outcome = EncodeOutcome{};
    const std::uint64_t pixelCount = pictures[0]->pixels.size();
    const auto colourCount = static_cast<std::uint32_t>(palette.size());
    const std::uint64_t headBytes = kTextureHeaderSize + kPaletteEntrySize * std::uint64_t{colourCount};
    outcome.plainBytes = headBytes + pictures.size() * pixelCount * (colourCount > 256 ? 2 : 1);

    CompressOptions options;
    options.threads = compressThreads(pixelCount, colourCount, choice.threads, choice.best);
    outcome.tooLarge = options.threads == 0;
    if (outcome.tooLarge && !choice.smallest) return WriteResult::outOfMemory;

    AtomicOutputFile file;
    if (!file.open(outputName)) return WriteResult::cannotOpen;
    console.print("Writing texture to HDD ..\n");
    // Without smallest the texture is compressed whatever its size: records
    // go straight to the file.
    if (!choice.smallest) writeHead(file, pictures, palette, mipmapCount, true);

    if (!outcome.tooLarge) console.print("   - Compressing image ..\n");
    ByteBuffer kept;
    std::uint64_t total = headBytes;  // the compressed file so far
    bool pastPlain = outcome.tooLarge;
    bool outOfMemory = false;
    for (std::size_t i = 0; i < pictures.size() && !pastPlain; ++i) {
        std::uint64_t written = 0;
        const PictureCompressor::Sink sink = [&](std::uint32_t c, std::span<const std::uint8_t> record) {
            total += record.size();
            written += record.size();
            if (choice.smallest) {
                // A tie goes to plain.
                if (total >= outcome.plainBytes) {
                    pastPlain = true;
                    return false;
                }
                if (!kept.append(record)) {
                    outOfMemory = true;
                    return false;
                }
            } else {
                file.write(record.data(), record.size());
            }
            const std::uint64_t percent = std::uint64_t{colourCount} * written * 100 / (std::uint64_t{c} + 1) / (4 * pixelCount);
            console.print("\r        - Image %3d, chunk %4d / %4d, compress = %3d %%", static_cast<int>(i + 1),
                          static_cast<int>(c + 1), static_cast<int>(colourCount), static_cast<int>(percent));
            return true;
        };
        const std::uint32_t* indices = pictures[i]->pixels.data();
        MinimiseStatus status;
        std::uint32_t failedColour = 0;
        if (choice.best) {
            BestCompressor compressor;
            status = compressor.compress(indices, pixelCount, colourCount, options, sink);
            failedColour = compressor.failedColour();
        } else {
            PictureCompressor compressor;
            status = compressor.compress(indices, pixelCount, colourCount, options, sink);
            failedColour = compressor.failedColour();
        }
        console.print("\n");
        if (status == MinimiseStatus::recordTooLong) {
            outcome.recordTooLong = true;
            outcome.failedImage = static_cast<std::uint32_t>(i);
            outcome.failedColour = failedColour;
            if (!choice.smallest) return WriteResult::recordTooLong;
            pastPlain = true;
        } else if (status != MinimiseStatus::ok || outOfMemory) {
            return WriteResult::outOfMemory;
        }
    }
    if (!pastPlain) outcome.compressedBytes = total;
    outcome.compressed = !pastPlain;

    if (choice.smallest) {
        writeHead(file, pictures, palette, mipmapCount, outcome.compressed);
        if (outcome.compressed) {
            file.write(kept.span().data(), kept.span().size());
        } else {
            writePlainImages(console, file, pictures, colourCount);
        }
    }
    if (!file.commit()) return WriteResult::writeFailed;
    return WriteResult::written;
}

}  // namespace qm5::cli
