// qm5 encode: the maker's conversion with the command's conventions. The
// stages are the maker's own (input pictures, palette, writing), so the
// texture is byte for byte the one qm5_maker writes for the same input and
// mode; --best and --auto are modes of the same writing stage.
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "cli/commands.hpp"
#include "cli/messages.hpp"
#include "formats/picture_formats.hpp"
#include "maker/colour_table.hpp"
#include "maker/console.hpp"
#include "maker/input_pictures.hpp"
#include "maker/maker_app.hpp"
#include "maker/mipmaps.hpp"
#include "maker/palette.hpp"
#include "maker/texture_writer.hpp"

namespace qm5::cli {

namespace {

// The texture's name: --output, or the maker's name for input. False after
// a message (status says which exit status).
bool outputFor(const ParsedOptions& options, const Context& context, std::string& output, int& status) {
    const char* input = options.operands[0];
    if (options.has(Opt::output)) {
        output = options.value(Opt::output);
        if (!output.empty()) return true;
        status = usageError(context, "encode", "--output needs a file name");
        return false;
    }
    char name[256];
    if (!MakerApp::outputNameFor(input, name)) {
        fileError(context, input, "the texture name would be longer than 255 characters; give one with -o");
        status = kFailure;
        return false;
    }
    output = name;
    return true;
}

// The pictures of input with their palette; false after a message. An
// input that is the output file is refused before it is read.
bool loadIndexed(Console& console, const ParsedOptions& options, const Context& context, const std::string& output,
                 InputPictures& pictures, ColourTable& colours) {
    const char* input = options.operands[0];
    ReadOptions readOptions;
    readOptions.ignoreAlpha = options.has(Opt::ignoreAlpha);
    // The PCX reader's scan-line warnings go to the error stream.
    FormatsPictureReader reader(options.has(Opt::quiet) ? nullptr : context.err, readOptions);
    FileList files;
    InputFailure failure;
    if (loadInputPictures(console, reader, input, files, pictures, &failure, output.c_str()) != InputError::none) {
        // A failure while reading the pictures leaves their progress line open.
        const bool lineOpen = failure.entry >= 0 && failure.error != InputError::emptyPicture &&
                              failure.error != InputError::sameAsOutput;
        if (lineOpen) console.print("\n");
        reportInputFailure(context, input, files, failure);
        return false;
    }
    switch (buildPalette(console, pictures.all(), colours)) {
        case PaletteResult::done: return true;
        case PaletteResult::tooManyColours:
            fileError(context, input, "the pictures hold more than %d colours, more than a texture can hold",
                      static_cast<int>(kMaxPaletteColours));
            return false;
        default:
            fileError(context, input, "not enough memory for the palette");
            return false;
    }
}

// A texture cannot hold what the input gives.
void reportHeaderRange(const Context& context, const char* input, const HeaderRangeFault& fault) {
    const long long value = fault.value;
    switch (fault.field) {
        case HeaderField::imageCount:
            fileError(context, input, "%lld pictures, more than the %lld images a texture holds", value,
                      static_cast<long long>(fault.max));
            break;
        case HeaderField::colourCount:
            fileError(context, input, "%lld colours, outside the %lld to %lld a texture holds", value,
                      static_cast<long long>(fault.min), static_cast<long long>(fault.max));
            break;
        case HeaderField::width:
        case HeaderField::height:
            fileError(context, input, "pictures %lld pixels %s, outside the 1 to %lld a texture holds", value,
                      fault.field == HeaderField::width ? "wide" : "high", static_cast<long long>(fault.max));
            break;
        case HeaderField::mipmapCount:
        case HeaderField::none:
            fileError(context, input, "%lld mipmap levels, more than a texture holds", value);
            break;
    }
}

// Why the texture was not written. chosen: --best or --auto was given.
void reportWriteFailure(const Context& context, const char* input, const std::string& output, WriteResult result,
                        const WriteOutcome& outcome, bool chosen) {
    switch (result) {
        case WriteResult::written: break;
        case WriteResult::headerOutOfRange: reportHeaderRange(context, input, outcome.header); break;
        case WriteResult::cannotOpen: {
            std::error_code ec;
            fileError(context, output.c_str(), "%s",
                      std::filesystem::is_directory(output, ec) ? "is a directory, not a file" : "cannot be created");
            break;
        }
        case WriteResult::outOfMemory:
            // -c has always said only this much here.
            if (chosen && outcome.tooLarge) {
                fileError(context, input, "the pictures are too large to compress; write the texture plain or with --auto");
            } else {
                fileError(context, input, "not enough memory to write the texture");
            }
            break;
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
            break;
        case WriteResult::writeFailed: fileError(context, output.c_str(), "cannot be written completely"); break;
    }
}

// --auto: which encoding was written, and why.
void reportChoice(const Context& context, const std::string& output, const WriteOutcome& outcome) {
    const auto plain = static_cast<unsigned long long>(outcome.plainBytes);
    if (outcome.compressed) {
        fileError(context, output.c_str(), "compressed, %llu bytes against %llu plain",
                  static_cast<unsigned long long>(outcome.compressedBytes), plain);
    } else if (outcome.tooLarge) {
        fileError(context, output.c_str(), "plain, %llu bytes; the pictures are too large to compress", plain);
    } else if (outcome.recordTooLong) {
        fileError(context, output.c_str(),
                  "plain, %llu bytes; compressed, colour %u of image %u would need a record of more than 65535 bytes",
                  plain, static_cast<unsigned>(outcome.failedColour), static_cast<unsigned>(outcome.failedImage));
    } else {
        fileError(context, output.c_str(), "plain, %llu bytes; compressed would not be smaller", plain);
    }
}

}  // namespace

int runEncode(const ParsedOptions& options, const Context& context) {
    const char* input = options.operands[0];
    std::int64_t jobs = context.cores;
    if (options.has(Opt::jobs) && !parseNumber(options.value(Opt::jobs), 1, kMaxJobs, jobs)) {
        return usageError(context, "encode",
                          "--jobs needs a whole number from 1 to " + std::to_string(kMaxJobs) + ", got '" +
                              options.value(Opt::jobs) + "'");
    }
    std::string output;
    int status = kFailure;
    if (!outputFor(options, context, output, status)) return status;
    const bool quiet = options.has(Opt::quiet);

    // The stages' own lines are the progress display; without one they go
    // nowhere. The console never waits for a key.
    Console console(!quiet && context.errIsTerminal ? context.err : nullptr, nullptr);
    InputPictures pictures;
    ColourTable colours;
    if (!loadIndexed(console, options, context, output, pictures, colours)) return kFailure;

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

    TextureWriteOptions writeOptions;
    writeOptions.compress = options.has(Opt::compress) || options.has(Opt::best);
    writeOptions.engine = options.has(Opt::best) ? MinimiserEngine::best : MinimiserEngine::fast;
    writeOptions.smallest = options.has(Opt::automatic);
    writeOptions.threads = static_cast<unsigned>(jobs);
    WriteOutcome outcome;
    const WriteResult result = writeTexture(console, output.c_str(), {refs.get(), count}, colours.colours(), levels,
                                            writeOptions, &outcome);
    if (result != WriteResult::written) {
        // --best and --auto are the modes qm5_maker lacks.
        reportWriteFailure(context, input, output, result, outcome,
                           options.has(Opt::best) || options.has(Opt::automatic));
        return kFailure;
    }
    if (quiet) return kSuccess;
    if (options.has(Opt::automatic)) reportChoice(context, output, outcome);
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(output, ec);
    std::fprintf(context.out, "%s: %d image%s of %d x %d, %d colour%s, %d mipmap level%s, %s, %llu bytes\n",
                 output.c_str(), static_cast<int>(count), count == 1 ? "" : "s", static_cast<int>(first.width),
                 static_cast<int>(first.height), static_cast<int>(colours.count()), colours.count() == 1 ? "" : "s",
                 static_cast<int>(levels), levels == 1 ? "" : "s", outcome.compressed ? "compressed" : "plain",
                 static_cast<unsigned long long>(ec ? 0 : bytes));
    return kSuccess;
}

}  // namespace qm5::cli
