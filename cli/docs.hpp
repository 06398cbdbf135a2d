#pragma once
// The qm5 command's manual page and bash completion, written from the
// command table (cli/command_table.hpp), the text "qm5 --help" prints.

#include <cstdio>

namespace qm5::cli {

// The manual page qm5(1), in roff (man(7) macros).
void writeManPage(std::FILE* out);

// A bash completion script for qm5: commands, each command's options, and
// file names for the rest (pictures, lists and textures are told by content).
void writeBashCompletion(std::FILE* out);

}  // namespace qm5::cli
