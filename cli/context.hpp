#pragma once
// What every subcommand of the qm5 command runs with: where results and
// messages go and what the machine offers.

#include <cstdio>

namespace qm5::cli {

enum ExitStatus : int {
    kSuccess = 0,
    kFailure = 1,
    kUsage = 2,
};

class ProgressLine;

struct Context {
    std::FILE* in = stdin;       // what "-" reads
    std::FILE* out = stdout;     // results and data; what "-o -" writes
    std::FILE* err = stderr;     // messages, errors and progress
    bool errIsTerminal = false;  // progress is shown only on a terminal
    bool outIsTerminal = false;  // binary data is never written to a terminal
    unsigned cores = 1;          // default for --jobs
    // The progress line on err while one is shown; messages take it away
    // before they are written.
    ProgressLine* progress = nullptr;
};

}  // namespace qm5::cli
