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
inline constexpr const char* kExitStatus = "Exit status: 0 success, 1 failure, 2 usage error.";

// The common path, for the manual page: each example a comment line and a command.
inline constexpr const char* kExamples[][2] = {
    {"Every picture below art, as the smallest textures, in the same tree below textures:",
     "qm5 encode --auto --best -r art --output-dir textures"},
    {"Look at one texture, or at all of them as JSON Lines for a script:", "qm5 info textures/rock.qm5"},
    {"", "find textures -name '*.qm5' -exec qm5 info --json {} +"},
    {"PNG pictures back, in the same tree below back:", "qm5 decode -r textures --output-dir back --format png"},
    {"Check every texture against the picture it was made from:", "qm5 verify -r art textures"},
    {"Convert again only the pictures changed since:",
     "qm5 encode --auto --best -r art --output-dir textures --update"},
    {"The bytes qm5_maker writes (-c is its compressed mode, often larger than plain):", "qm5 encode -c wall.bmp"},
};

// The list file, as the manual page states it.
inline constexpr const char* kListFiles =
    "A list file names pictures of equal size that become the images of one\n"
    "texture, in its order. Its first line is the number of pictures; each\n"
    "line after it names a picture (a name relative to the list's own folder,\n"
    "blanks allowed) and may end with a whole number. The number is kept with\n"
    "the entry, as qm5_maker keeps it, and changes nothing in the texture:\n"
    "write 0. Blank lines are skipped. A count line that disagrees with the\n"
    "entries is read as qm5_maker reads it (only as many as it says, or as\n"
    "many as there are), with a warning naming both numbers. (qm5_maker\n"
    "takes names without blanks, relative to the current folder.)\n";

}  // namespace qm5::cli
