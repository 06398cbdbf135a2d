#include "cli/command_table.hpp"

#include "cli/commands.hpp"
#include "minimiser/palette_order.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5::cli {

namespace {

constexpr CommandOption kHelp{Opt::help, 'h', "help", nullptr, "show this help"};
constexpr CommandOption kMainOptions[] = {
    kHelp,
    {Opt::version, 'V', "version", nullptr, "show the version"},
};
constexpr CommandOption kEncodeQuiet{Opt::quiet, 'q', "quiet", nullptr, "no progress and no summary line"};
constexpr CommandOption kDecodeQuiet{Opt::quiet, 'q', "quiet", nullptr, "do not print the names of the files written"};
constexpr CommandOption kVerifyQuiet{Opt::quiet, 'q', "quiet", nullptr, "print nothing when the texture matches"};
constexpr CommandOption kIgnoreAlpha{Opt::ignoreAlpha, '\0', "ignore-alpha", nullptr,
                                  "read pictures with pixels that are not fully opaque, dropping their alpha (a texture holds opaque colours; without this such pictures are refused)"};
static_assert(kDefaultMaxPixels == 67108864, "the help of --max-pixels states the default");
constexpr CommandOption kMaxPixels{Opt::maxPixels, '\0', "max-pixels", "N",
                                   "refuse a texture whose pictures have more than N pixels (default: 67108864, 8192 x 8192)"};
constexpr CommandOption kNoLimits{Opt::noLimits, '\0', "no-limits", nullptr,
                                  "decode whatever the texture's size and painting work (it is still read no further than its header allows)"};
constexpr CommandOption kEncodeMaxPixels{Opt::maxPixels, '\0', "max-pixels", "N",
                                         "refuse a picture of more than N pixels, before its data are read (default: 67108864, 8192 x 8192)"};
constexpr CommandOption kEncodeRecursive{Opt::recursive, 'r', "recursive", nullptr,
                                         "take folders among the INPUTs and convert every picture below them, keeping their folder tree under --output-dir"};
constexpr CommandOption kDecodeRecursive{Opt::recursive, 'r', "recursive", nullptr,
                                         "take folders among the TEXTUREs and decode every texture below them, keeping their folder tree under --output-dir"};
constexpr CommandOption kFollowLinks{Opt::followLinks, '\0', "follow-links", nullptr,
                                     "with -r: enter symbolic links to folders too (no folder is entered twice)"};
constexpr CommandOption kDecodeOutputDir{Opt::outputDir, '\0', "output-dir", "DIR",
                                         "write the images into the folder DIR (created when missing), named after their TEXTURE"};
constexpr CommandOption kEncodeNoLimits{Opt::noLimits, '\0', "no-limits", nullptr,
                                        "read pictures of any size up to 32767 x 32767 pixels (a picture is still read no further than its headers allow)"};

// The colour options (COLOURS in the manual page).
constexpr CommandOption kMatte{Opt::matte, '\0', "matte", "COLOUR",
                               "composite every pixel that is not fully opaque onto COLOUR (#ff00ff or 255,0,255) first, so that a transparent picture can be read and the colours under its transparent pixels do not swell the palette"};

static_assert(kDefaultOrderEffort == 1 && kMaxOrderEffort == 1000, "the help of --effort states them");

// A new option is one more row here and one more Opt value.
constexpr CommandOption kEncodeOptions[] = {
    {Opt::compress, 'c', "compress", nullptr, "write the images compressed, colour by colour"},
    {Opt::best, '\0', "best", nullptr, "compress with as few cubes per colour as practical: a smaller texture that every reader decodes to the same picture, though not the bytes qm5_maker writes"},
    {Opt::effort, '\0', "effort", "N", "with --best: how hard to search for the palette order that makes the texture smallest, 0 to 1000 (default: 1; 0 keeps the colours in ascending order); more effort, smaller textures, longer runs, the same bytes on every machine"},
    {Opt::automatic, '\0', "auto", nullptr, "write the texture plain or compressed (with --best when given), whichever is smaller, and say which on the error stream"},
    {Opt::output, 'o', "output", "FILE", "the texture to write, - for standard output; only with one INPUT (default: INPUT with the extension of its last path component replaced by .qm5, beside INPUT)"},
    {Opt::outputDir, '\0', "output-dir", "DIR", "write every texture into the folder DIR (created when missing, as mkdir -p), named after its INPUT"},
    kEncodeRecursive,
    kFollowLinks,
    {Opt::update, '\0', "update", nullptr, "skip a picture whose texture is not older than it (a list file is always converted)"},
    {Opt::jobs, 'j', "jobs", "N", "threads for reducing colours and compressing, 1 to 1024 (default: the number of cores); the bytes written are the same for every N"},
    kIgnoreAlpha,
    {Opt::quality, '\0', "quality", "DB", "reduce the colours: the smallest texture found whose PSNR over RGB against the pictures is at least DB, 1 to 99 (as 36 or 34.5; 30 to 40 suits photos); pictures of any number of colours are read. See COLOURS"},
    {Opt::colors, '\0', "colors", "N", "reduce to at most N colours, 2 to 32767: alone, the best quality at N colours; with --quality, both hold"},
    {Opt::dither, '\0', "dither", nullptr, "with --quality or --colors: dither (Floyd-Steinberg), for textures stored plain; compressed, a dithered picture takes two to three times the bytes"},
    kMatte,
    kEncodeMaxPixels,
    kEncodeNoLimits,
    kEncodeQuiet,
    kHelp,
};

constexpr CommandOption kDecodeOptions[] = {
    {Opt::output, 'o', "output", "FILE", "the file to write: FILE.bmp a 24-bit BMP, FILE.png a PNG (palette when the texture has at most 256 colours, else RGB), - standard output; default TEXTURE with its extension replaced by .bmp. With --all, FILE without its extension is the stem of the names"},
    {Opt::image, '\0', "image", "N", "the image to write, from 0 (default: 0)"},
    {Opt::all, '\0', "all", nullptr, "write every image, image i to STEM-i.bmp (or STEM-i.png); every image is checked before the first file is written"},
    {Opt::format, '\0', "format", "FORMAT", "bmp or png: the format to write, needed with -o - (standard output); without it the extension of FILE chooses"},
    {Opt::force, 'f', "force", nullptr, "replace existing files of the default names; without it, and without -o, decode replaces no file"},
    kDecodeOutputDir,
    kDecodeRecursive,
    kFollowLinks,
    kMaxPixels,
    kNoLimits,
    kDecodeQuiet,
    kHelp,
};

constexpr CommandOption kInfoOptions[] = {
    {Opt::json, '\0', "json", nullptr, "print one JSON object per texture, one per line (JSON Lines), problems included"},
    {Opt::recursive, 'r', "recursive", nullptr, "take folders among the TEXTUREs and inspect every texture below them"},
    kFollowLinks,
    kHelp,
};

constexpr CommandOption kVerifyOptions[] = {
    kIgnoreAlpha, kMaxPixels, kNoLimits,
    {Opt::recursive, 'r', "recursive", nullptr,
     "INPUT is a folder of pictures and TEXTURE a folder of textures: every picture below INPUT against the texture of the same path below TEXTURE"},
    kFollowLinks,
    {Opt::quality, '\0', "quality", "DB", "check a reduced texture: its PSNR against the pictures must be at least DB (as given to encode), instead of every pixel equal"},
    {Opt::colors, '\0', "colors", "N", "check a reduced texture: it must hold at most N colours (as given to encode), and without --quality its PSNR is reported"},
    {Opt::psnr, '\0', "psnr", nullptr, "report the PSNR of the texture against the pictures instead of comparing them pixel by pixel"},
    kMatte,
    kVerifyQuiet, kHelp};


const Command kCommands[] = {
    {"encode", "INPUT...", {"INPUT", nullptr}, 1, true, "make a texture from each picture or list of pictures",
     "Makes a Qm5 texture from each INPUT, one after another: a picture (BMP,\n"
     "PCX, PNG or TGA) or a list file naming pictures of equal size. For the\n"
     "pictures qm5_maker reads, the texture holds exactly the bytes qm5_maker\n"
     "writes for the same input and mode (unless --best or --auto is given),\n"
     "and the same picture saved in any format gives the same texture.\n"
     "A list file starts with the number of pictures; each line after it names\n"
     "a picture (relative to the list's folder), optionally followed by a\n"
     "number (see LIST FILES in qm5(1)). INPUT - reads standard input.\n"
     "With -r, a folder INPUT stands for every picture below it (told by\n"
     "content; other files are skipped with a note), and --output-dir keeps\n"
     "the folder tree. Two INPUTs of one texture name are refused before\n"
     "anything is written.\n"
     "Each texture appears only when complete; a failed one leaves an existing\n"
     "file as it was, and the exit status is 1 when any INPUT failed. Prints a\n"
     "summary line per texture on the output and, on a terminal, the progress\n"
     "on the error stream.\n",
     kEncodeOptions, runEncode},
    {"decode", "TEXTURE...", {"TEXTURE", nullptr}, 1, true, "write images of textures as BMP or PNG files",
     "Decodes an image of each TEXTURE, or all of them, into 24-bit BMP or PNG\n"
     "files and prints the name of each file written on the output. With -r, a\n"
     "folder TEXTURE stands for every texture below it, and --output-dir keeps\n"
     "the folder tree. TEXTURE - reads standard input; -o - writes the image\n"
     "to standard output (with --format).\n"
     "The files appear together, once every one is complete; a failure leaves\n"
     "every existing file as it was. Without -o, the default names never\n"
     "replace a file (--force lets them). The exit status is 1 when any\n"
     "TEXTURE failed.\n",
     kDecodeOptions, runDecode},
    {"info", "TEXTURE...", {"TEXTURE", nullptr}, 1, true, "show textures' headers and images, and check them",
     "Prints the header fields of each TEXTURE and, for each image, its\n"
     "encoding, its size and compression and, when compressed, its record kinds\n"
     "and cube counts. Checks every record (lengths inside the file, b matching\n"
     "width x height, no cube with a bit in both masks) and reports each problem\n"
     "found on the error stream; the exit status is 1 when there is one.\n"
     "TEXTURE - reads standard input. With --json, each texture is one line\n"
     "holding one JSON object (JSON Lines): file, size, header fields, images\n"
     "and problems, so that scripts need not read the text form.\n",
     kInfoOptions, runInfo},
    {"verify", "INPUT TEXTURE...", {"INPUT", "TEXTURE"}, 2, true, "check textures against their pictures",
     "Decodes every image of TEXTURE and compares it, pixel by pixel, with the\n"
     "pictures of INPUT (a picture or a list file, as for encode). Exit status 0\n"
     "when all are identical; 1 with the first differing image and pixel\n"
     "otherwise. A texture made with --quality or --colors is checked against\n"
     "them instead (see COLOURS). INPUT or TEXTURE - reads standard input.\n"
     "Several pairs may follow (INPUT TEXTURE INPUT TEXTURE ...); with -r,\n"
     "INPUT is a folder of pictures and TEXTURE the folder encode -r\n"
     "--output-dir wrote. The exit status is 1 when any pair differs or failed.\n",
     kVerifyOptions, runVerify},
};

}  // namespace

const char* const kColoursSection =
    "A texture holds at most 32767 colours. Without --quality or --colors, qm5\n"
    "encode refuses a picture of more, with their count; with either, it reads\n"
    "pictures of any number of colours and reduces them for this format.\n"
    "--quality DB asks for the smallest texture it can find whose PSNR over RGB\n"
    "against the pictures is at least DB; --colors N for at most N colours. The\n"
    "reduction builds palettes of its own (median cut refined by k-means) and\n"
    "chooses regions of one colour aligned as the compressed records are, each\n"
    "region weighed by its error and by the bytes of its cube; areas where\n"
    "the picture is smooth weigh their error more, which keeps blocks from\n"
    "showing. Plain nearest colours are always a candidate, and each candidate\n"
    "is priced as the texture it would be written as (the mode, --best, --auto\n"
    "and --effort given), so the smallest is kept. All of it is integer\n"
    "arithmetic: the same bytes for every --jobs and on every machine.\n"
    "The pictures of a list share one palette, reduced over all of them.\n"
    "A photo: qm5 encode --quality 36 --auto --best photo.png. Dithering\n"
    "(--dither) suits only textures stored plain.\n"
    "Transparent pictures: --matte COLOUR composites every pixel that is not\n"
    "fully opaque onto COLOUR first (also without a reduction); --ignore-alpha\n"
    "drops the alpha channel instead.\n"
    "The summary line names the colours before and after and the PSNR reached.\n"
    "qm5 verify --quality DB (or --colors N) checks that a texture holds at\n"
    "most N colours and reaches DB against the pictures; --psnr reports the\n"
    "PSNR of any texture against its pictures.\n";

std::span<const Command> commands() { return kCommands; }

std::span<const CommandOption> mainOptions() { return kMainOptions; }

}  // namespace qm5::cli
