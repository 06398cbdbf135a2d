// qm5 encode, one texture: the maker's stages with the command's
// conventions; --best and --auto are modes of the same writing stage.
#include "cli/encode_texture.hpp"

#include <memory>
#include <new>

#include "cli/messages.hpp"
#include "cli/progress_line.hpp"
#include "cli/streams.hpp"
#include "formats/picture_formats.hpp"
#include "maker/colour_table.hpp"
#include "maker/console.hpp"
#include "maker/input_pictures.hpp"
#include "maker/mipmaps.hpp"
#include "maker/palette.hpp"
#include "maker/texture_writer.hpp"

namespace qm5::cli {

namespace {

// The pictures of input with their palette; false after a message. An
// input that is the output file is refused before it is read.
bool loadIndexed(Console& console, const EncodeSettings& settings, const Context& context, const char* operand,
                 const char* output, InputPictures& pictures, ColourTable& colours) {
    const char* input = inputName(operand);
    ReadOptions readOptions;
    readOptions.ignoreAlpha = settings.ignoreAlpha;
    // The PCX reader's scan-line warnings go to the error stream.
    FormatsPictureReader reader(settings.quiet ? nullptr : context.err, readOptions);
    FileList files;
    InputFailure failure;
    InputOptions inputs = inputOptions(context, operand);
    inputs.progress = context.progress;
    inputs.maxPixels = settings.maxPixels;
    if (!isStandardStream(output)) inputs.output = output;
    if (loadInputPictures(console, reader, input, files, pictures, &failure, inputs) != InputError::none) {
        reportInputFailure(context, input, files, failure, inputs.stream != nullptr);
        return false;
    }
    switch (buildPalette(console, pictures.all(), colours, kMaxPaletteColours, context.progress)) {
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

// Why the texture was not written.
void reportWriteFailure(const Context& context, const char* input, const char* output, WriteResult result,
                        const WriteOutcome& outcome) {
    switch (result) {
        case WriteResult::written: break;
        case WriteResult::headerOutOfRange: reportHeaderRange(context, input, outcome.header); break;
        case WriteResult::cannotOpen:
            fileError(context, output, "cannot be created%s", systemReason(outcome.fileError).c_str());
            break;
        case WriteResult::outOfMemory:
            if (outcome.tooLarge) {
                fileError(context, input, "too large to compress in %llu MB; write it plain or use --auto",
                          static_cast<unsigned long long>(kCompressMemoryLimit >> 20));
            } else {
                fileError(context, input, "not enough memory to write the texture");
            }
            break;
        case WriteResult::recordTooLong:
            fileError(context, input,
                      "colour %u of image %u would need a record of more than 65535 bytes; write the texture "
                      "plain or with --auto",
                      static_cast<unsigned>(outcome.failedColour), static_cast<unsigned>(outcome.failedImage));
            break;
        case WriteResult::writeFailed:
            fileError(context, output, "cannot be written%s", systemReason(outcome.fileError).c_str());
            break;
    }
}

// --auto: which encoding was written, and why.
void reportChoice(const Context& context, const char* output, const WriteOutcome& outcome) {
    const auto plain = static_cast<unsigned long long>(outcome.plainBytes);
    if (outcome.compressed) {
        fileError(context, output, "compressed, %llu bytes against %llu plain",
                  static_cast<unsigned long long>(outcome.compressedBytes), plain);
    } else if (outcome.tooLarge) {
        fileError(context, output, "plain, %llu bytes; the pictures are too large to compress", plain);
    } else if (outcome.recordTooLong) {
        fileError(context, output,
                  "plain, %llu bytes; compressed, colour %u of image %u would need a record of more than 65535 bytes",
                  plain, static_cast<unsigned>(outcome.failedColour), static_cast<unsigned>(outcome.failedImage));
    } else {
        fileError(context, output, "plain, %llu bytes; compressed would not be smaller", plain);
    }
}

// One line on the output: what was written.
void printSummary(const Context& context, const char* output, std::size_t count, const Picture& first,
                  const ColourTable& colours, std::int32_t levels, const WriteOutcome& outcome) {
    const std::uint64_t bytes = outcome.compressed ? outcome.compressedBytes : outcome.plainBytes;
    std::fprintf(context.out, "%s: %d image%s of %d x %d, %d colour%s, %d mipmap level%s, %s, %llu bytes\n", output,
                 static_cast<int>(count), count == 1 ? "" : "s", static_cast<int>(first.width),
                 static_cast<int>(first.height), static_cast<int>(colours.count()), colours.count() == 1 ? "" : "s",
                 static_cast<int>(levels), levels == 1 ? "" : "s", outcome.compressed ? "compressed" : "plain",
                 static_cast<unsigned long long>(bytes));
}

}  // namespace

bool encodeTexture(const Context& context, const EncodeSettings& settings, const char* operand, const char* output) {
    const char* input = inputName(operand);
    const char* shownOutput = outputName(output);
    // The stages print the maker's lines to a console that shows nothing
    // and never waits for a key.
    Console console(nullptr, nullptr);
    InputPictures pictures;
    ColourTable colours;
    if (!loadIndexed(console, settings, context, operand, output, pictures, colours)) return false;

    // Only the level count reaches the file; the levels themselves are not
    // needed to write it.
    const Picture& first = pictures.pictures[0];
    if (context.progress != nullptr) context.progress->begin(Stage::mipmaps, 0, 0);
    const std::int32_t levels = mipmapLevelCount(first.width, first.height);
    if (context.progress != nullptr) context.progress->advance(1, 1);
    const std::size_t count = static_cast<std::size_t>(pictures.count);
    std::unique_ptr<const Picture*[]> refs(new (std::nothrow) const Picture*[count]);
    if (!refs) {
        fileError(context, input, "not enough memory");
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) refs[i] = &pictures.pictures[i];

    TextureWriteOptions writeOptions;
    writeOptions.compress = settings.compress || settings.best;
    writeOptions.engine = settings.best ? MinimiserEngine::best : MinimiserEngine::fast;
    writeOptions.orderEffort = settings.best ? settings.effort : 0;
    writeOptions.smallest = settings.automatic;
    writeOptions.threads = settings.threads;
    writeOptions.stream = writesStandardOutput(context, output) ? context.out : nullptr;
    writeOptions.progress = context.progress;
    WriteOutcome outcome;
    const WriteResult result =
        writeTexture(console, output, {refs.get(), count}, colours.colours(), levels, writeOptions, &outcome);
    if (result != WriteResult::written) {
        if (result == WriteResult::writeFailed && writeOptions.stream != nullptr) {
            reportStandardOutputFailure(context, outcome.fileError);
        } else {
            reportWriteFailure(context, input, shownOutput, result, outcome);
        }
        return false;
    }
    if (settings.quiet) return true;
    // The summary may go to the terminal the line is on.
    if (context.progress != nullptr) context.progress->finish();
    if (settings.automatic) reportChoice(context, shownOutput, outcome);
    // -c writes the maker's bytes even where they lose; say so once.
    if (outcome.compressed && !settings.best && !settings.automatic && outcome.compressedBytes > outcome.plainBytes) {
        fileError(context, shownOutput,
                  "compressed, %llu bytes, is larger than plain would be (%llu bytes); --auto writes the smaller",
                  static_cast<unsigned long long>(outcome.compressedBytes),
                  static_cast<unsigned long long>(outcome.plainBytes));
    }
    // Standard output holds the texture; the summary is no part of it.
    if (writeOptions.stream == nullptr) printSummary(context, output, count, first, colours, levels, outcome);
    return true;
}

}  // namespace qm5::cli
