#pragma once
// The subcommands of the qm5 command. Each gets its options already parsed
// against its table (cli/cli_app.cpp) with the right number of operands, and
// returns the exit status.

#include "cli/context.hpp"
#include "cli/options.hpp"

namespace qm5::cli {

// Most threads --jobs accepts.
inline constexpr std::int64_t kMaxJobs = 1024;

int runEncode(const ParsedOptions& options, const Context& context);
int runDecode(const ParsedOptions& options, const Context& context);
int runInfo(const ParsedOptions& options, const Context& context);
int runVerify(const ParsedOptions& options, const Context& context);

}  // namespace qm5::cli
