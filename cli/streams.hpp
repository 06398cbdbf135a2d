#pragma once
// Where the qm5 command's data come from and go to: files, or standard input
// and output for an operand of "-". Every "-" is mapped here, and every
// input and output file is opened here.

#include <cstdint>
#include <span>

#include "cli/context.hpp"
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

// How an INPUT operand of encode or verify is read: lists by qm5's rules,
// "-" from standard input.
InputOptions inputOptions(const Context& context, const char* operand);

// Writes bytes as the file name, or to standard output for "-", complete or
// not at all; on failure reports "qm5: <name>: cannot be created (<reason>)"
// or "cannot be written (<reason>)" and returns false.
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

}  // namespace qm5::cli
