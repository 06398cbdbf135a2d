// qm5 encode: the maker's conversion with the command's conventions. The
// stages are the maker's own (input pictures, palette, writing), so the
// texture is byte for byte the one qm5_maker writes for the same input and
// mode. --best and --auto write through cli/encode_writer.hpp instead.
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "cli/commands.hpp"
#include "cli/encode_writer.hpp"
#include "cli/messages.hpp"
#include "maker/colour_table.hpp"
#include "maker/console.hpp"
#include "maker/input_pictures.hpp"
#include "maker/maker_app.hpp"
#include "maker/mipmaps.hpp"
#include "maker/palette.hpp"
#include "maker/texture_writer.hpp"
#include "minimiser/fast_minimiser.hpp"
#include "picture/picture_loader.hpp"

namespace qm5::cli {

int runEncode(const ParsedOptions& options, const Context& context) {
    const char* input = options.operands[0];
    std::int64_t jobs = context.cores;
    if (options.has(Opt::jobs) && !parseNumber(options.value(Opt::jobs), 1, kMaxJobs, jobs)) {
        return usageError(context, "encode",
                          "--jobs needs a whole number from 1 to " + std::to_string(kMaxJobs) + ", got '" +
                              options.value(Opt::jobs) + "'");
    }
    std::string output;
    if (options.has(Opt::output)) {
        output = options.value(Opt::output);
        if (output.empty()) return usageError(context, "encode", "--output needs a file name");
    } else {
        char name[256];
        if (!MakerApp::outputNameFor(input, name)) {
            fileError(context, input, "the texture name would be longer than 255 characters; give one with -o");
            return kFailure;
        }
        output = name;
    }
    const bool quiet = options.has(Opt::quiet);
    const bool progress = !quiet && context.errIsTerminal;

    // The stages' own lines are the progress display; without one they go
    // nowhere. The console never waits for a key.
    Console console(progress ? context.err : nullptr, nullptr);
    PictureLoader loader(quiet ? nullptr : context.err);  // the PCX reader's scan-line warnings
    FileList files;
    InputPictures pictures;
    InputFailure failure;
    if (loadInputPictures(console, loader, input, files, pictures, &failure) != InputError::none) {
        // A failure while reading the pictures leaves their progress line open.
        const bool lineOpen = failure.entry >= 0 && failure.error != InputError::emptyPicture;
        if (lineOpen) console.print("\n");
        reportInputFailure(context, input, files, failure);
        return kFailure;
    }

    ColourTable colours;
    switch (buildPalette(console, pictures.all(), colours)) {
        case PaletteResult::done: break;
        case PaletteResult::tooManyColours:
            fileError(context, input, "the pictures hold more than %d colours, more than a texture can hold",
                      static_cast<int>(kMaxPaletteColours));
            return kFailure;
        default:
            fileError(context, input, "not enough memory for the palette");
            return kFailure;
    }

    // Only the level count reaches the file; the levels themselves are not
    // needed to write it.
    const Picture& first = pictures.pictures[0];
    const std::int32_t levels = mipmapLevelCount(first.width, first.height);

    const std::size_t count = static_cast<std::size_t>(pictures.count);
    std::unique_ptr<const Picture*[]> refs(new (std::nothrow) const Picture*[count]);
    if (!refs) {
        fileError(context, input, "not enough memory");
        return kFailure;
    }
    for (std::size_t i = 0; i < count; ++i) refs[i] = &pictures.pictures[i];

    const std::span<const Picture* const> all(refs.get(), count);
    const bool chosen = options.has(Opt::best) || options.has(Opt::automatic);
    EncodeOutcome outcome;
    WriteResult result;
    if (chosen) {
        EncodeChoice choice;
        choice.best = options.has(Opt::best);
        choice.smallest = options.has(Opt::automatic);
        choice.threads = static_cast<unsigned>(jobs);
        result = writeChosenTexture(console, output.c_str(), all, colours.colours(), levels, choice, outcome);
    } else {
        TextureWriteOptions writeOptions;
        writeOptions.compress = options.has(Opt::compress);
        writeOptions.threads = static_cast<unsigned>(jobs);
        result = writeTexture(console, output.c_str(), all, colours.colours(), levels, writeOptions);
        outcome.compressed = writeOptions.compress;
        // The writer refuses a picture whose compression passes the limit even on one thread.
        outcome.tooLarge = writeOptions.compress && PictureCompressor::workingMemoryBound(
                                                        first.pixels.size(), static_cast<std::uint32_t>(colours.count()), 1) >
                                                        kCompressMemoryLimit;
    }
    switch (result) {
        case WriteResult::written: break;
        case WriteResult::cannotOpen: {
            std::error_code ec;
            fileError(context, output.c_str(), "%s",
                      std::filesystem::is_directory(output, ec) ? "is a directory, not a file" : "cannot be created");
            return kFailure;
        }
        case WriteResult::outOfMemory:
            if (outcome.tooLarge) {
                fileError(context, input, "too large to compress in %llu MB; write it plain or use --auto",
                          static_cast<unsigned long long>(kCompressMemoryLimit >> 20));
            } else {
                fileError(context, input, "not enough memory to write the texture");
            }
            return kFailure;
        case WriteResult::recordTooLong:
            if (chosen) {
                fileError(context, input,
                          "colour %u of image %u would need a record of more than 65535 bytes; write the texture "
                          "plain or with --auto",
                          static_cast<unsigned>(outcome.failedColour), static_cast<unsigned>(outcome.failedImage));
            } else {
                fileError(context, input,
                          "a colour record would need more than 65535 bytes; write the texture without --compress");
            }
            return kFailure;
        case WriteResult::writeFailed:
            fileError(context, output.c_str(), "cannot be written completely");
            return kFailure;
    }

    if (!quiet && options.has(Opt::automatic)) {
        if (outcome.compressed) {
            fileError(context, output.c_str(), "compressed, %llu bytes against %llu plain",
                      static_cast<unsigned long long>(outcome.compressedBytes),
                      static_cast<unsigned long long>(outcome.plainBytes));
        } else if (outcome.tooLarge) {
            fileError(context, output.c_str(), "plain, %llu bytes; the pictures are too large to compress",
                      static_cast<unsigned long long>(outcome.plainBytes));
        } else if (outcome.recordTooLong) {
            fileError(context, output.c_str(),
                      "plain, %llu bytes; compressed, colour %u of image %u would need a record of more than 65535 "
                      "bytes",
                      static_cast<unsigned long long>(outcome.plainBytes), static_cast<unsigned>(outcome.failedColour),
                      static_cast<unsigned>(outcome.failedImage));
        } else {
            fileError(context, output.c_str(), "plain, %llu bytes; compressed would not be smaller",
                      static_cast<unsigned long long>(outcome.plainBytes));
        }
    }
    if (!quiet) {
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(output, ec);
        std::fprintf(context.out, "%s: %d image%s of %d x %d, %d colour%s, %d mipmap level%s, %s, %llu bytes\n",
                     output.c_str(), static_cast<int>(count), count == 1 ? "" : "s", static_cast<int>(first.width),
                     static_cast<int>(first.height), static_cast<int>(colours.count()), colours.count() == 1 ? "" : "s",
                     static_cast<int>(levels), levels == 1 ? "" : "s", outcome.compressed ? "compressed" : "plain",
                     static_cast<unsigned long long>(ec ? 0 : bytes));
    }
    return kSuccess;
}

}  // namespace qm5::cli
