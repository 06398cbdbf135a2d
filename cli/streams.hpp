#pragma once
// Where the qm5 command's data come from and go to: files, or standard input
// and output for an operand of "-". Every "-" is mapped here, and every
// input and output file is opened here.

#include <cstdint>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "cli/context.hpp"
#include "core/file_io.hpp"
#include "core/heap_array.hpp"
#include "maker/input_pictures.hpp"
#include "texture/texture_decoder.hpp"
#include "texture/texture_input.hpp"

namespace qm5::cli {

// "-" alone names standard input (as an input) or standard output (as -o).
constexpr bool isStandardStream(const char* name) { return name[0] == '-' && name[1] == '\0'; }

// The names messages give: "standard input" and "standard output" for "-".
const char* inputName(const char* operand);
const char* outputName(const char* operand);

// Whether an output name writes standard output: "-", or a name that
// reaches the file, pipe or terminal standard output is (/dev/stdout). Such
// an output goes to the output stream, after what it holds already and
// with nothing else after it.
bool writesStandardOutput(const Context& context, const char* name);

// How an INPUT operand of encode or verify is read: lists by qm5's rules,
// "-" from standard input.
InputOptions inputOptions(const Context& context, const char* operand);

// Writes bytes as the file name, or to standard output (writesStandardOutput),
// complete or not at all; on failure reports "qm5: <name>: cannot be
// created (<reason>)" or "cannot be written (<reason>)" and returns false.
bool writeOutputFile(const Context& context, const char* name, std::span<const std::uint8_t> bytes);

// Reads the texture at path, or standard input for "-", as far as request
// says (texture/texture_input.hpp); on failure reports "qm5: <path>:
// <reason>" and returns false.
bool readTextureInput(const Context& context, const char* path, const TextureReadRequest& request, TextureRead& out);

// Reads the texture at path as far as decoding its first `images` images
// (UINT64_MAX: all) under limits needs, and opens it for decoding. False
// after a message when it cannot be read or has no header to go by;
// otherwise problem is what else opening found (kind none: nothing), for
// the caller to report after its own checks of the header
// (decoder.layout().header).
bool readTextureToDecode(const Context& context, const char* path, std::uint64_t images, const DecodeOptions& limits,
                         TextureRead& out, TextureDecoder& decoder, TextureProblem& problem);

// Files that appear together or not at all (decode --all): each is written
// to a temporary of its own, and they replace their files only once every
// one is complete. Destroyed before publish() succeeds, the group removes
// its temporaries and every old file stays. Their data reach the disk
// before the renames: for several files, with one wait per file system
// where the system can (AtomicOutputFile::syncsFileSystems), else one per
// file.
class OutputGroup {
public:
    OutputGroup(const Context& context, std::size_t count)
        : context_(context), files_(count), names_(count), batched_(count > 1 && AtomicOutputFile::syncsFileSystems()) {}
    // The next file of the group, written in full; false after the message.
    bool add(const char* name, std::span<const std::uint8_t> bytes);
    // Every file under its name; false after the message.
    bool publish();

private:
    const Context& context_;
    std::vector<AtomicOutputFile> files_;
    std::vector<std::string> names_;
    std::size_t added_ = 0;
    bool batched_;
};

// "qm5: standard output: cannot be written (<reason>)", once in a run
// however many writes fail.
void reportStandardOutputFailure(const Context& context, std::error_code why);
// Flushes the output stream at the end of a command; false after that
// message when anything written to it was lost (a full disk, a closed
// descriptor).
bool finishStandardOutput(const Context& context);

}  // namespace qm5::cli
