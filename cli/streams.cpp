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

bool readStandardInput(const Context& context, HeapArray<std::uint8_t>& out) {
    const char* operand = "-";
    InputStream in;
    in.openStream(context.in);
    switch (in.readAll(out)) {
        case ReadFileError::none: return true;
        case ReadFileError::outOfMemory: fileError(context, inputName(operand), "not enough memory to read it"); break;
        case ReadFileError::tooLarge: fileError(context, inputName(operand), "too large to read"); break;
        case ReadFileError::cannotOpen:
            fileError(context, inputName(operand), "cannot be read%s", systemReason(in.error()).c_str());
            break;
    }
    return false;
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
