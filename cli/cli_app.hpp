#pragma once
// The qm5 command: a scriptable front end over the maker's and the tester's
// library. Never waits for a key; results go to the output stream, messages
// and errors to the error stream; exit status 0 on success, 1 on failure,
// 2 on a usage error.

#include "cli/context.hpp"

namespace qm5::cli {

inline constexpr const char* kVersion = "1.0";

// argv[0] is the program, argv[1] the command or --help / --version.
int runCommandLine(int argc, char** argv, const Context& context);

}  // namespace qm5::cli
