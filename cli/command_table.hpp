#pragma once
// The qm5 command's commands and options with the text of their help: the
// one source of "qm5 --help", "qm5 COMMAND --help", the manual page qm5(1)
// and the shell completion (cli/docs.hpp).

#include <cstddef>
#include <span>

#include "cli/context.hpp"
#include "cli/options.hpp"

namespace qm5::cli {

// A subcommand: its usage, help and entry.
struct Command {
    const char* name;
    const char* operands;          // for the usage line
    const char* operandNames[2];   // each operand, for "missing INPUT"
    std::size_t operandCount;      // operands needed
    bool moreOperands;             // the last may be repeated
    const char* summary;
    const char* description;
    std::span<const CommandOption> options;
    int (*run)(const ParsedOptions&, const Context&);
};

std::span<const Command> commands();
// -h and -V, the options of qm5 itself.
std::span<const CommandOption> mainOptions();

inline constexpr const char* kPurpose = "Converts pictures into Qm5 textures and back, and checks textures.";
// The manual page's section COLOURS: colour reduction and transparency.
extern const char* const kColoursSection;
inline constexpr const char* kExitStatus = "Exit status: 0 success, 1 failure, 2 usage error.";

}  // namespace qm5::cli
