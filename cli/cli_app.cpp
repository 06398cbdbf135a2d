#include "cli/cli_app.hpp"

#include <cstring>
#include <new>
#include <span>
#include <string>

#include "cli/command_table.hpp"
#include "cli/messages.hpp"
#include "cli/options.hpp"

namespace qm5::cli {

namespace {

// Options column, then the help text wrapped at 79 columns.
void printOptions(std::FILE* out, std::span<const CommandOption> options) {
    constexpr std::size_t kColumn = 24;
    constexpr std::size_t kWidth = 79;
    for (const CommandOption& option : options) {
        std::string left = "  ";
        left += option.shortName != '\0' ? std::string("-") + option.shortName + ", " : std::string("    ");
        left += std::string("--") + option.longName;
        if (option.valueName != nullptr) left += std::string(" ") + option.valueName;
        std::string line = left;
        if (line.size() + 1 > kColumn) {
            std::fprintf(out, "%s\n", line.c_str());
            line.clear();
        }
        line.resize(kColumn, ' ');
        // Word-wrap the help into the right-hand column.
        const char* text = option.help;
        std::size_t used = kColumn;
        bool first = true;
        while (*text != '\0') {
            const char* end = std::strchr(text, ' ');
            const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - text) : std::strlen(text);
            if (!first && used + 1 + length > kWidth) {
                std::fprintf(out, "%s\n", line.c_str());
                line.assign(kColumn, ' ');
                used = kColumn;
                first = true;
            }
            if (!first) {
                line += ' ';
                ++used;
            }
            line.append(text, length);
            used += length;
            first = false;
            text += length;
            while (*text == ' ') ++text;
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
}

void printMainHelp(std::FILE* out) {
    std::fprintf(out, "Usage: qm5 COMMAND [OPTIONS] ARGUMENTS\n%s\n\nCommands:\n", kPurpose);
    for (const Command& command : commands()) {
        const std::string head = std::string(command.name) + " " + command.operands;
        std::fprintf(out, "  %-23s %s\n", head.c_str(), command.summary);
    }
    std::fputs("\nOptions:\n", out);
    printOptions(out, mainOptions());
    std::fprintf(out, "\nRun 'qm5 COMMAND --help' for the options of a command.\n%s\n", kExitStatus);
}

void printCommandHelp(std::FILE* out, const Command& command) {
    std::fprintf(out, "Usage: qm5 %s %s [OPTIONS]\n\n%s\nOptions:\n", command.name, command.operands,
                 command.description);
    printOptions(out, command.options);
}

int run(int argc, char** argv, const Context& context) {
    if (argc < 2) {
        std::fputs("Usage: qm5 COMMAND [OPTIONS] ARGUMENTS\n"
                   "Commands: encode, decode, info, verify. Try 'qm5 --help'.\n", context.err);
        return kUsage;
    }
    const char* first = argv[1];
    if (std::strcmp(first, "-h") == 0 || std::strcmp(first, "--help") == 0) {
        printMainHelp(context.out);
        return kSuccess;
    }
    if (std::strcmp(first, "-V") == 0 || std::strcmp(first, "--version") == 0) {
        std::fprintf(context.out, "qm5 %s\n", kVersion);
        return kSuccess;
    }
    const Command* command = nullptr;
    for (const Command& c : commands()) {
        if (std::strcmp(c.name, first) == 0) command = &c;
    }
    if (command == nullptr) {
        return usageError(context, nullptr,
                          std::string(first[0] == '-' ? "unknown option '" : "unknown command '") + first + "'");
    }

    ParsedOptions options;
    std::string error;
    if (!parseOptions(command->options, std::span<char* const>(argv + 2, static_cast<std::size_t>(argc - 2)), options,
                      error)) {
        return usageError(context, command->name, error);
    }
    if (options.has(Opt::help)) {
        printCommandHelp(context.out, *command);
        return kSuccess;
    }
    if (options.operands.size() < command->operandCount) {
        return usageError(context, command->name,
                          std::string("missing ") + command->operandNames[options.operands.size()]);
    }
    if (options.operands.size() > command->operandCount && !command->moreOperands) {
        return usageError(context, command->name,
                          std::string("unexpected argument '") + options.operands[command->operandCount] + "'");
    }
    return command->run(options, context);
}

}  // namespace

int runCommandLine(int argc, char** argv, const Context& context) {
    // Program code reports failures as results; the few small strings and
    // vectors of the command line are the only things that could throw.
    try {
        return run(argc, argv, context);
    } catch (const std::bad_alloc&) {
        std::fputs("qm5: not enough memory\n", context.err);
        return kFailure;
    }
}

}  // namespace qm5::cli
