// qm5: the scriptable command beside qm5_maker and qm5_test. Subcommands
// encode, decode, info and verify; see "qm5 --help".
#include <cstdio>
#include <thread>

#include "cli/cli_app.hpp"
#include "cli/streams.hpp"
#include "core/file_io.hpp"

#if defined(_WIN32)
#include <io.h>
#define QM5_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define QM5_ISATTY(f) isatty(fileno(f))
#endif

int main(int argc, char** argv) {
    // Before anything is opened: no output file may take the number of a
    // closed standard output and receive its lines.
    if (!qm5::ensureStandardDescriptors()) return qm5::cli::kFailure;
    qm5::installOutputSignalHandlers();
    qm5::cli::Context context;
    context.in = stdin;
    context.out = stdout;
    context.err = stderr;
    // Whether the error stream is a terminal is the one thing the standard
    // library cannot tell: progress lines are only for a person watching.
    context.errIsTerminal = QM5_ISATTY(stderr) != 0;
    context.outIsTerminal = QM5_ISATTY(stdout) != 0;
    // Progress lines are many and short: buffer them (the console flushes
    // them about ten times a second, every message is flushed at once)
    // instead of one write per line on the unbuffered error stream.
    static char errBuffer[4096];
    if (context.errIsTerminal) std::setvbuf(stderr, errBuffer, _IOFBF, sizeof errBuffer);
    const unsigned cores = std::thread::hardware_concurrency();
    context.cores = cores > 0 ? cores : 1;
    int status = qm5::cli::runCommandLine(argc, argv, context);
    // Results that could not be written are a failure (a full disk, a closed
    // descriptor), and said.
    if (!qm5::cli::finishStandardOutput(context) && status == qm5::cli::kSuccess) status = qm5::cli::kFailure;
    std::fflush(stderr);
    return status;
}
