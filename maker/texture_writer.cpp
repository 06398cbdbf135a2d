#include "maker/texture_writer.hpp"

#include <cstdio>
#include <functional>
#include <thread>

#include "minimiser/fast_minimiser.hpp"
#include "minimiser/function_minimiser.hpp"
#include "maker/reports.hpp"
#include "core/file_io.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

using RecordSink = std::function<bool(std::uint32_t colour, std::span<const std::uint8_t> record)>;

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

// Threads for the fast engine: as many as asked (0: one per core) while the
// working memory stays within kCompressMemoryLimit; 0 when even one thread
// would pass it.
unsigned compressThreads(std::uint64_t pixelCount, std::uint32_t colourCount, unsigned asked) {
    unsigned threads = asked != 0 ? asked : std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    for (; threads > 0; --threads) {
        if (PictureCompressor::workingMemoryBound(pixelCount, colourCount, threads) <= kCompressMemoryLimit) break;
    }
    return threads;
}

}  // namespace

WriteResult writeTexture(Console& console, const char* outputName, std::span<const Picture* const> pictures,
                         std::span<const std::uint32_t> palette, std::int32_t mipmapCount,
                         const TextureWriteOptions& options) {
    const Picture& first = *pictures[0];
    const std::uint64_t pixelCount = first.pixels.size();
    const std::uint64_t trueColourSize = 4 * pixelCount;  // U: the picture as 32-bit pixels
    const std::uint32_t colourCount = static_cast<std::uint32_t>(palette.size());

    // The fast engine's working memory grows with 3^b; a picture it cannot
    // compress within the bound is refused before anything is written.
    unsigned threads = 1;
    if (options.compress && options.engine == MinimiserEngine::fast) {
        threads = compressThreads(pixelCount, colourCount, options.threads);
        if (threads == 0) {
            reportError(console, "Picture too large to compress, write it uncompressed !");
            return WriteResult::outOfMemory;
        }
    }

    AtomicOutputFile file;
    if (!file.open(outputName)) {
        reportError(console, "Cannot open destination file !");
        return WriteResult::cannotOpen;
    }
    console.print("Writing texture to HDD ..\n");
    console.print("   - Writing header ..\n");
    TextureHeader header;
    header.colourCount = static_cast<std::uint16_t>(colourCount);
    header.mipmapCount = static_cast<std::uint16_t>(mipmapCount);
    header.imageCount = static_cast<std::uint16_t>(pictures.size());
    header.compression = options.compress ? 1 : 0;
    header.width = static_cast<std::uint16_t>(first.width);
    header.height = static_cast<std::uint16_t>(first.height);
    std::uint8_t headerBytes[kTextureHeaderSize];
    header.store(headerBytes);
    file.write(headerBytes, sizeof headerBytes);

    console.print("   - Writing palette ..\n");
    for (std::uint32_t colour : palette) {
        std::uint8_t entry[4];
        storeU32(entry, colour);
        file.write(entry, sizeof entry);
    }

    if (!options.compress) {
        console.print("   - Writing image ..\n");
        const bool wide = colourCount > 256;
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            for (std::uint32_t index : pictures[i]->pixels) {
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
    } else {
        console.print("   - Compressing image ..\n");
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            std::uint64_t written = 0;  // S: record bytes of this picture so far
            const RecordSink sink = [&](std::uint32_t c, std::span<const std::uint8_t> record) {
                file.write(record.data(), record.size());
                written += record.size();
                const std::uint64_t percent =
                    std::uint64_t{colourCount} * written * 100 / (std::uint64_t{c} + 1) / trueColourSize;
                console.print("\r        - Image %3d, chunk %4d / %4d, compress = %3d %%", static_cast<int>(i + 1),
                              static_cast<int>(c + 1), static_cast<int>(colourCount), static_cast<int>(percent));
                return true;
            };
            std::uint32_t failedColour = 0;
            MinimiseStatus status;
            if (options.engine == MinimiserEngine::fast) {
                PictureCompressor compressor;
                CompressOptions compressOptions;
                compressOptions.threads = threads;
                status = compressor.compress(pictures[i]->pixels.data(), pixelCount, colourCount, compressOptions, sink);
                failedColour = compressor.failedColour();
            } else {
                status = compressWithReference(console, *pictures[i], colourCount, sink, failedColour);
            }
            if (status == MinimiseStatus::outOfMemory || status == MinimiseStatus::invalidTable) {
                console.print("\n");
                reportOutOfMemory(console);
                return WriteResult::outOfMemory;
            }
            if (status != MinimiseStatus::ok) {
                char message[160];
                std::snprintf(message, sizeof message,
                              "Colour %u of image %u needs more than 65535 bytes, write the picture uncompressed !",
                              static_cast<unsigned>(failedColour), static_cast<unsigned>(i));
                console.print("\n");
                reportError(console, message);
                return WriteResult::recordTooLong;
            }
            console.print("\n");
        }
    }

    if (!file.commit()) {
        reportError(console, "Cannot write destination file !");
        return WriteResult::writeFailed;
    }
    return WriteResult::written;
}

}  // namespace qm5
