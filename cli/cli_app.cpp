#include "cli/cli_app.hpp"

#include <cstring>
#include <new>
#include <span>
#include <string>

#include "cli/commands.hpp"
#include "cli/messages.hpp"
#include "cli/options.hpp"

namespace qm5::cli {

namespace {

constexpr CommandOption kHelp{Opt::help, 'h', "help", nullptr, "show this help"};
constexpr CommandOption kEncodeQuiet{Opt::quiet, 'q', "quiet", nullptr, "no progress and no summary line"};
constexpr CommandOption kDecodeQuiet{Opt::quiet, 'q', "quiet", nullptr, "do not print the names of the files written"};
constexpr CommandOption kVerifyQuiet{Opt::quiet, 'q', "quiet", nullptr, "print nothing when the texture matches"};
static_assert(kDefaultMaxPixels == 67108864, "the help of --max-pixels states the default");
constexpr CommandOption kMaxPixels{Opt::maxPixels, '\0', "max-pixels", "N",
                                   "refuse a texture whose pictures have more than N pixels (default: 67108864, 8192 x 8192)"};
constexpr CommandOption kNoLimits{Opt::noLimits, '\0', "no-limits", nullptr,
                                  "decode whatever the texture's size and painting work (it is still read no further than its header allows)"};
constexpr CommandOption kIgnoreAlpha{Opt::ignoreAlpha, '\0', "ignore-alpha", nullptr,
                                  "read pictures with pixels that are not fully opaque, dropping their alpha (a texture holds opaque colours; without this such pictures are refused)"};

// A new option is one more row here and one more Opt value.
constexpr CommandOption kEncodeOptions[] = {
    {Opt::compress, 'c', "compress", nullptr, "write the images compressed, colour by colour"},
    {Opt::best, '\0', "best", nullptr, "compress with as few cubes per colour as practical: a smaller texture that every reader decodes to the same picture, though not the bytes qm5_maker writes"},
    {Opt::automatic, '\0', "auto", nullptr, "write the texture plain or compressed (with --best when given), whichever is smaller, and say which on the error stream"},
    {Opt::output, 'o', "output", "FILE", "the texture to write (default: INPUT with everything from its last '.' replaced by .qm5, as qm5_maker names it)"},
    {Opt::jobs, 'j', "jobs", "N", "threads for compressing, 1 to 1024 (default: the number of cores); the bytes written are the same for every N"},
    kIgnoreAlpha,
    kEncodeQuiet,
    kHelp,
};

constexpr CommandOption kDecodeOptions[] = {
    {Opt::output, 'o', "output", "FILE", "the file to write: FILE.bmp a 24-bit BMP, FILE.png a PNG (palette when the texture has at most 256 colours, else RGB); default TEXTURE with its extension replaced by .bmp. With --all, FILE without its extension is the stem of the names"},
    {Opt::image, '\0', "image", "N", "the image to write, from 0 (default: 0)"},
    {Opt::all, '\0', "all", nullptr, "write every image, image i to STEM-i.bmp (or STEM-i.png); every image is checked before the first file is written"},
    kMaxPixels,
    kNoLimits,
    kDecodeQuiet,
    kHelp,
};

constexpr CommandOption kInfoOptions[] = {kHelp};

constexpr CommandOption kVerifyOptions[] = {kIgnoreAlpha, kMaxPixels, kNoLimits, kVerifyQuiet, kHelp};

// A subcommand: its usage, help and entry.
struct Command {
    const char* name;
    const char* operands;          // for the usage line
    const char* operandNames[2];   // each operand, for "missing INPUT"
    std::size_t operandCount;
    const char* summary;
    const char* description;
    std::span<const CommandOption> options;
    int (*run)(const ParsedOptions&, const Context&);
};

const Command kCommands[] = {
    {"encode", "INPUT", {"INPUT", nullptr}, 1, "make a texture from a picture or a list of pictures",
     "Makes a Qm5 texture from INPUT, a picture (BMP, PCX, PNG or TGA) or a list\n"
     "file naming pictures of equal size, as qm5_maker does: for the pictures\n"
     "qm5_maker reads the texture holds exactly the bytes it writes for the same\n"
     "input and mode (unless --best or --auto is given), and the same picture\n"
     "saved in any format gives the same texture. The texture appears only when\n"
     "complete; a failed run leaves an existing file as it was. Prints a summary\n"
     "line on the output.\n",
     kEncodeOptions, runEncode},
    {"decode", "TEXTURE", {"TEXTURE", nullptr}, 1, "write images of a texture as BMP or PNG files",
     "Decodes an image of TEXTURE, or all of them, into 24-bit BMP or PNG files\n"
     "and prints the name of each file written on the output.\n",
     kDecodeOptions, runDecode},
    {"info", "TEXTURE", {"TEXTURE", nullptr}, 1, "show a texture's header and images and check its records",
     "Prints the header fields of TEXTURE and, for each image, its encoding, its\n"
     "size and compression and, when compressed, its record kinds and cube\n"
     "counts. Checks every record (lengths inside the file, b matching\n"
     "width x height, no cube with a bit in both masks) and reports each problem\n"
     "found on the error stream; the exit status is 1 when there is one.\n",
     kInfoOptions, runInfo},
    {"verify", "INPUT TEXTURE", {"INPUT", "TEXTURE"}, 2, "check that a texture holds the pictures of INPUT",
     "Decodes every image of TEXTURE and compares it, pixel by pixel, with the\n"
     "pictures of INPUT (a picture or a list file, as for encode). Exit status 0\n"
     "when all are identical; 1 with the first differing image and pixel\n"
     "otherwise.\n",
     kVerifyOptions, runVerify},
};

void printMainHelp(std::FILE* out) {
    std::fputs("Usage: qm5 COMMAND [OPTIONS] ARGUMENTS\n"
               "Converts pictures into Qm5 textures and back, and checks textures.\n"
               "\n"
               "Commands:\n", out);
    for (const Command& command : kCommands) {
        const std::string head = std::string(command.name) + " " + command.operands;
        std::fprintf(out, "  %-22s %s\n", head.c_str(), command.summary);
    }
    std::fputs("\n"
               "Options:\n"
               "  -h, --help             show this help\n"
               "  -V, --version          show the version\n"
               "\n"
               "Run 'qm5 COMMAND --help' for the options of a command.\n"
               "Exit status: 0 success, 1 failure, 2 usage error.\n", out);
}

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
    for (const Command& c : kCommands) {
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
    if (options.operands.size() > command->operandCount) {
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
