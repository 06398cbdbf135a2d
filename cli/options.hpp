#pragma once
// Command-line options of the qm5 command: each subcommand lists the options
// it takes in a table, and one parser reads any such table. A new option is
// one more Opt value and one more table row.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qm5::cli {

enum class Opt : std::size_t {
    help,
    compress,
    output,
    jobs,
    quiet,
    image,
    all,
    best,
    automatic,
    ignoreAlpha,
    format,
    outputDir,
    maxPixels,
    noLimits,
    effort,
    force,
    recursive,
    followLinks,
    update,
    json,
    version,  // qm5 --version; read before any command's options
    count_,  // the number of options, not an option
};

// One row of a command's option table.
struct CommandOption {
    Opt id;
    char shortName;         // '\0': only the long form
    const char* longName;   // without the leading "--"
    const char* valueName;  // nullptr: a flag without value
    const char* help;
};

struct ParsedOptions {
    bool seen[static_cast<std::size_t>(Opt::count_)] = {};
    const char* values[static_cast<std::size_t>(Opt::count_)] = {};  // last value given
    std::vector<const char*> operands;

    bool has(Opt o) const { return seen[static_cast<std::size_t>(o)]; }
    const char* value(Opt o) const { return values[static_cast<std::size_t>(o)]; }
};

// Reads args against the options of table, in the usual forms: "-c", "-cq"
// (flags joined), "-o NAME", "-oNAME", "--output NAME", "--output=NAME";
// options and operands in any order; "--" makes every later argument an
// operand, and "-" alone is an operand. On a usage error returns false with
// the reason in error ("unknown option '--fast'").
bool parseOptions(std::span<const CommandOption> table, std::span<char* const> args, ParsedOptions& out,
                  std::string& error);

// A whole decimal number from min to max, nothing else in the text.
bool parseNumber(const char* text, std::int64_t min, std::int64_t max, std::int64_t& out);

}  // namespace qm5::cli
