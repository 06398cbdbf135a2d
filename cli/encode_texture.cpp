// qm5 encode, one texture: the pictures read as the maker reads them, then
// the one encode entry point (maker/encoder.hpp) with the command's
// conventions; --best and --auto are modes of the same writing stage.
#include "cli/encode_texture.hpp"

#include "cli/messages.hpp"
#include "cli/progress_line.hpp"
#include "cli/streams.hpp"
#include "formats/picture_formats.hpp"
#include "maker/console.hpp"
#include "maker/encode_messages.hpp"
#include "maker/encoder.hpp"
#include "maker/input_pictures.hpp"

namespace qm5::cli {

namespace {

// The pictures of input; false after a message. An input that is the
// output file is refused before it is read.
bool loadPictures(const EncodeSettings& settings, const Context& context, const char* operand, const char* output,
                  InputPictures& pictures) {
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
    // The reading stage prints the maker's lines to a console that shows
    // nothing and never waits for a key.
    Console silent(nullptr, nullptr);
    if (loadInputPictures(silent, reader, input, files, pictures, &failure, inputs) == InputError::none) {
        if (!pictures.single) warnListCount(context, input, files);
        return true;
    }
    reportInputFailure(context, input, files, failure);
    return false;
}

// The encode's progress goes to the command's progress line, when it has one.
class ProgressObserver final : public EncodeObserver {
public:
    explicit ProgressObserver(Progress* line) : line_(line) {}
    void begin(Stage stage, std::uint32_t image, std::uint32_t images) override {
        if (line_ != nullptr) line_->begin(stage, image, images);
    }
    void advance(std::uint64_t done, std::uint64_t total) override {
        if (line_ != nullptr) line_->advance(done, total);
    }

private:
    Progress* line_;
};

// --auto: which encoding was written, and why.
void reportChoice(const Context& context, const char* output, const EncodeResult& result) {
    const auto plain = static_cast<unsigned long long>(result.plainBytes);
    if (result.compressed) {
        fileError(context, output, "compressed, %llu bytes against %llu plain",
                  static_cast<unsigned long long>(result.compressedBytes), plain);
    } else if (result.tooLarge) {
        fileError(context, output, "plain, %llu bytes; the pictures are too large to compress", plain);
    } else if (result.recordTooLong) {
        fileError(context, output,
                  "plain, %llu bytes; compressed, colour %u of image %u would need a record of more than 65535 bytes",
                  plain, static_cast<unsigned>(result.failedColour), static_cast<unsigned>(result.failedImage));
    } else {
        fileError(context, output, "plain, %llu bytes; compressed would not be smaller", plain);
    }
}

// One line on the output: what was written.
void printSummary(const Context& context, const char* output, const EncodeResult& result) {
    const std::uint32_t count = result.images;
    const std::uint32_t colours = result.colours;
    const std::int32_t levels = result.mipmapLevels;
    std::fprintf(context.out, "%s: %d image%s of %d x %d, %d colour%s, %d mipmap level%s, %s, %llu bytes\n", output,
                 static_cast<int>(count), count == 1 ? "" : "s", static_cast<int>(result.width),
                 static_cast<int>(result.height), static_cast<int>(colours), colours == 1 ? "" : "s",
                 static_cast<int>(levels), levels == 1 ? "" : "s", result.compressed ? "compressed" : "plain",
                 static_cast<unsigned long long>(result.bytes()));
}

}  // namespace

bool encodeTexture(const Context& context, const EncodeSettings& settings, const char* operand, const char* output) {
    const char* input = inputName(operand);
    const char* shownOutput = outputName(output);
    InputPictures pictures;
    if (!loadPictures(settings, context, operand, output, pictures)) return false;

    ProgressObserver observer(context.progress);
    EncodeRequest request;
    request.pictures = pictures.all();
    request.mode = settings.best ? EncodeMode::best : settings.compress ? EncodeMode::compressed : EncodeMode::plain;
    request.smallest = settings.automatic;
    request.effort = settings.best ? settings.effort : 0;
    request.threads = settings.threads;
    request.observer = &observer;
    // Standard output by any name (-, /dev/stdout) is written as a stream.
    if (writesStandardOutput(context, output)) {
        request.stream = context.out;
    } else {
        request.path = output;
    }
    const EncodeResult result = qm5::encodeTexture(request);
    if (!result.ok()) {
        if (result.error == EncodeError::writeFailed && request.stream != nullptr) {
            reportStandardOutputFailure(context, result.fileError);
        } else {
            const EncodeMessage why = describeEncodeFailure(result, "write the texture plain or with --auto");
            fileError(context, why.aboutOutput ? shownOutput : input, "%s", why.text);
        }
        return false;
    }
    if (settings.quiet) return true;
    // The summary may go to the terminal the line is on.
    if (context.progress != nullptr) context.progress->finish();
    if (settings.automatic) reportChoice(context, shownOutput, result);
    // -c writes the maker's bytes even where they lose; say so once.
    if (result.compressed && !settings.best && !settings.automatic && result.compressedBytes > result.plainBytes) {
        fileError(context, shownOutput,
                  "compressed, %llu bytes, is larger than plain would be (%llu bytes); --auto writes the smaller",
                  static_cast<unsigned long long>(result.compressedBytes),
                  static_cast<unsigned long long>(result.plainBytes));
    }
    // Standard output holds the texture; the summary is no part of it.
    if (request.stream == nullptr) printSummary(context, output, result);
    return true;
}

}  // namespace qm5::cli
