// qm5 encode: every INPUT to its own texture, one after another. The names
// are settled before the first picture is read, so that no texture of this
// run replaces another one of it.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/commands.hpp"
#include "cli/encode_texture.hpp"
#include "cli/messages.hpp"
#include "cli/progress_line.hpp"
#include "cli/streams.hpp"
#include "core/file_names.hpp"
#include "minimiser/palette_order.hpp"

namespace qm5::cli {

namespace {

// The texture beside input, or in folder when one is given: the name with
// the extension of its last component replaced by ".qm5".
std::string textureName(const char* input, const char* folder) {
    const std::string_view name(input);
    if (folder == nullptr) return std::string(name.substr(0, stemLength(name))) + ".qm5";
    const std::string_view last = name.substr(lastComponentStart(name));
    std::string out = folder;
    if (out.back() != '/' && out.back() != '\\') out += '/';
    return out + std::string(last.substr(0, stemLength(last))) + ".qm5";
}

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
    if (output && inputs.size() > 1)
        return usageError(context, "encode", "-o names one texture; for several INPUTs use --output-dir");
    if (fromStandardInput > 0 && !output)
        return usageError(context, "encode", "a picture from standard input has no name for its texture; give -o FILE");
    if (output && context.outIsTerminal && writesStandardOutput(context, options.value(Opt::output)))
        return usageError(context, "encode", "standard output is a terminal, and a texture is binary data; redirect it");
    return kSuccess;
}

// False after a message when --output-dir names no folder.
bool folderExists(const Context& context, const char* folder) {
    std::error_code ec;
    const auto status = std::filesystem::status(folder, ec);
    if (std::filesystem::is_directory(status)) return true;
    if (!ec) {
        ec = std::make_error_code(std::filesystem::exists(status) ? std::errc::not_a_directory
                                                                   : std::errc::no_such_file_or_directory);
    }
    fileError(context, folder, "cannot hold the textures%s", systemReason(ec).c_str());
    return false;
}

// The same file for two names, as far as their text tells.
std::string sameFileKey(const std::string& name) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(name, ec);
    return (ec ? std::filesystem::path(name) : absolute).lexically_normal().string();
}

// "sky.lst", or "[2/5] sky.lst" among several inputs.
std::string progressLabel(const char* input, std::size_t place, std::size_t count) {
    char head[48] = "";
    if (count > 1) std::snprintf(head, sizeof head, "[%zu/%zu] ", place, count);
    return std::string(head) + inputName(input);
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
    if (folder != nullptr && !folderExists(context, folder)) return kFailure;

    // Progress only for a person watching; messages take the line away.
    std::optional<ProgressLine> line;
    Context local = context;
    if (!settings.quiet && context.errIsTerminal) local.progress = &line.emplace(context.err);

    // Each input in turn; every failure is reported, and the run goes on.
    bool allWritten = true;
    std::size_t place = 0;
    std::map<std::string, const char*> written;  // texture -> the input it is made from
    for (const char* input : options.operands) {
        const std::string output = options.has(Opt::output) ? options.value(Opt::output) : textureName(input, folder);
        const auto [at, fresh] = written.emplace(sameFileKey(output), input);
        ++place;
        if (!fresh) {
            fileError(local, input, "its texture %s is that of %s too; not written", output.c_str(), at->second);
            allWritten = false;
            continue;
        }
        if (line) line->start(progressLabel(input, place, options.operands.size()));
        allWritten = encodeTexture(local, settings, input, output.c_str()) && allWritten;
        if (line) line->finish();
    }
    return allWritten ? kSuccess : kFailure;
}

}  // namespace qm5::cli
