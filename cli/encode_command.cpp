// qm5 encode: every INPUT to its own texture, one after another. The names
// are settled before the first picture is read, so that no texture of this
// run replaces another one of it.
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/collection.hpp"
#include "cli/commands.hpp"
#include "cli/encode_texture.hpp"
#include "cli/messages.hpp"
#include "cli/progress_line.hpp"
#include "cli/reduce_options.hpp"
#include "cli/streams.hpp"
#include "minimiser/palette_order.hpp"

namespace qm5::cli {

namespace {

// The usage rules of -o, --output-dir and "-"; a usage error's status, or kSuccess.
int checkNames(const ParsedOptions& options, const Context& context) {
    const std::vector<const char*>& inputs = options.operands;
    const bool output = options.has(Opt::output);
    const bool folder = options.has(Opt::outputDir);
    if (output && folder) return usageError(context, "encode", "-o and --output-dir exclude each other");
    if (output && *options.value(Opt::output) == '\0') return usageError(context, "encode", "--output needs a file name");
    if (folder && *options.value(Opt::outputDir) == '\0')
        return usageError(context, "encode", "--output-dir needs a folder name");
    int fromStandardInput = 0;
    for (const char* input : inputs) fromStandardInput += isStandardStream(input) ? 1 : 0;
    if (fromStandardInput > 1) return usageError(context, "encode", "standard input (-) can be read only once");
    if (output && options.has(Opt::recursive))
        return usageError(context, "encode", "-o names one texture; with -r use --output-dir");
    if (output && inputs.size() > 1)
        return usageError(context, "encode", "-o names one texture; for several INPUTs use --output-dir");
    if (fromStandardInput > 0 && !output)
        return usageError(context, "encode", "a picture from standard input has no name for its texture; give -o FILE");
    if (output && context.outIsTerminal && writesStandardOutput(context, options.value(Opt::output)))
        return usageError(context, "encode", "standard output is a terminal, and a texture is binary data; redirect it");
    return kSuccess;
}

// "sky.lst", or "[2/5] sky.lst" among several inputs.
std::string progressLabel(const char* input, std::size_t place, std::size_t count) {
    char head[48] = "";
    if (count > 1) std::snprintf(head, sizeof head, "[%zu/%zu] ", place, count);
    return std::string(head) + inputName(input);
}

// The share of the run's work an input is taken to be: its size in bytes.
std::uint64_t fileWeight(const char* input) {
    std::error_code ec;
    const std::uintmax_t size = isStandardStream(input) ? 0 : std::filesystem::file_size(input, ec);
    return ec ? 1 : static_cast<std::uint64_t>(size) + 1;
}

// The inputs of the run and their textures (outputs), and which of them
// to convert (todo, places in inputs) with their sum of weights. False
// after the messages when an input cannot be converted: a folder that
// cannot be read, a clash.
bool planRun(const ParsedOptions& options, const Context& context, const char* folder, std::vector<FoundFile>& inputs,
             std::vector<std::string>& outputs, std::vector<std::size_t>& todo, std::uint64_t& weight) {
    CollectSettings collect = collectSettings(options, FileKind::picture, "convert");
    bool ok = collectFiles(context, options.operands, collect, inputs);
    for (const FoundFile& input : inputs) {
        outputs.push_back(options.has(Opt::output) ? options.value(Opt::output) : outputPath(input, folder, ".qm5"));
    }
    if (markSameOutputs(inputs, outputs) > 0) ok = false;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (!inputs[i].clashes()) continue;
        fileError(context, inputs[i].path.c_str(), "its texture %s is that of %s too; not written", outputs[i].c_str(),
                  inputs[inputs[i].sameOutputAs].path.c_str());
    }
    // --update keeps a texture not older than its picture (a list is always
    // converted: its pictures may be newer).
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const char* input = inputs[i].path.c_str();
        if (inputs[i].clashes()) continue;
        if (options.has(Opt::update) && !isStandardStream(input) && isUpToDateWith(outputs[i].c_str(), input) &&
            fileKindOf(input) == FileKind::picture) {
            continue;
        }
        todo.push_back(i);
        weight += fileWeight(input);
    }
    return ok;
}

}  // namespace

int runEncode(const ParsedOptions& options, const Context& context) {
    EncodeSettings settings;
    std::int64_t jobs = context.cores;
    if (options.has(Opt::jobs) && !parseNumber(options.value(Opt::jobs), 1, kMaxJobs, jobs)) {
        return usageError(context, "encode",
                          "--jobs needs a whole number from 1 to " + std::to_string(kMaxJobs) + ", got '" +
                              options.value(Opt::jobs) + "'");
    }
    std::int64_t effort = kDefaultOrderEffort;
    if (options.has(Opt::effort) && !parseNumber(options.value(Opt::effort), 0, kMaxOrderEffort, effort)) {
        return usageError(context, "encode",
                          "--effort needs a whole number from 0 to " + std::to_string(kMaxOrderEffort) + ", got '" +
                              options.value(Opt::effort) + "'");
    }
    if (options.has(Opt::effort) && !options.has(Opt::best)) {
        return usageError(context, "encode", "--effort needs --best");
    }
    if (std::string why; !parseColourOptions(options, settings.colours, why)) return usageError(context, "encode", why);
    if (const int status = checkNames(options, context); status != kSuccess) return status;
    DecodeOptions limits;
    if (int status = kFailure; !decodeLimits(options, context, "encode", limits, status)) return status;
    settings.maxPixels = limits.maxPixels;
    settings.effort = static_cast<unsigned>(effort);
    settings.threads = static_cast<unsigned>(jobs);
    settings.compress = options.has(Opt::compress);
    settings.best = options.has(Opt::best);
    settings.automatic = options.has(Opt::automatic);
    settings.ignoreAlpha = options.has(Opt::ignoreAlpha);
    settings.quiet = options.has(Opt::quiet);
    const char* folder = options.has(Opt::outputDir) ? options.value(Opt::outputDir) : nullptr;
    if (folder != nullptr && !makeFolder(context, folder)) return kFailure;

    // Every input and its texture, and every clash, before anything is written.
    std::vector<FoundFile> inputs;
    std::vector<std::string> outputs;
    std::vector<std::size_t> todo;
    std::uint64_t weight = 0;
    bool allWritten = planRun(options, context, folder, inputs, outputs, todo, weight);

    // Progress only for a person watching; messages take the line away.
    std::optional<ProgressLine> line;
    Context local = context;
    if (!settings.quiet && context.errIsTerminal) local.progress = &line.emplace(context.err);
    if (line) line->startRun(weight);

    // Each input in turn; every failure is reported, and the run goes on.
    for (std::size_t k = 0; k < todo.size(); ++k) {
        const char* input = inputs[todo[k]].path.c_str();
        const std::string& output = outputs[todo[k]];
        if (folder != nullptr && !makeFolder(local, folderOf(output))) {
            allWritten = false;
            continue;
        }
        if (line) line->start(progressLabel(input, k + 1, todo.size()), fileWeight(input));
        allWritten = encodeTexture(local, settings, input, output.c_str()) && allWritten;
        if (line) line->finish();
    }
    return allWritten ? kSuccess : kFailure;
}

}  // namespace qm5::cli
