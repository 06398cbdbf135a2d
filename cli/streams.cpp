#include "cli/streams.hpp"

#include "cli/messages.hpp"
#include "core/file_io.hpp"
#include "core/input_stream.hpp"

namespace qm5::cli {

const char* inputName(const char* operand) { return isStandardStream(operand) ? "standard input" : operand; }

const char* outputName(const char* operand) { return isStandardStream(operand) ? "standard output" : operand; }

InputOptions inputOptions(const Context& context, const char* operand) {
    InputOptions options;
    options.namedLists = true;
    if (isStandardStream(operand)) options.stream = context.in;
    return options;
}

bool writeOutputFile(const Context& context, const char* name, std::span<const std::uint8_t> bytes) {
    AtomicOutputFile file;
    if (isStandardStream(name)) {
        file.openStream(context.out);
    } else if (!file.open(name)) {
        fileError(context, name, "cannot be created%s", systemReason(file.error()).c_str());
        return false;
    }
    if (!file.write(bytes.data(), bytes.size()) || !file.commit()) {
        fileError(context, outputName(name), "cannot be written%s", systemReason(file.error()).c_str());
        return false;
    }
    return true;
}

}  // namespace qm5::cli
