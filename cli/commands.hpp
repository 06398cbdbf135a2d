#pragma once
// The subcommands of the qm5 command. Each gets its options already parsed
// against its table (cli/cli_app.cpp) with the right number of operands, and
// returns the exit status.

#include "cli/context.hpp"
#include "cli/options.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5::cli {

// Most threads --jobs accepts.
inline constexpr std::int64_t kMaxJobs = 1024;

// The decoding limits of --max-pixels and --no-limits (DecodeOptions{}
// without them); false after a usage error, whose status is in status.
bool decodeLimits(const ParsedOptions& options, const Context& context, const char* command, DecodeOptions& limits,
                  int& status);

int runEncode(const ParsedOptions& options, const Context& context);
int runDecode(const ParsedOptions& options, const Context& context);
int runInfo(const ParsedOptions& options, const Context& context);
int runVerify(const ParsedOptions& options, const Context& context);

}  // namespace qm5::cli
