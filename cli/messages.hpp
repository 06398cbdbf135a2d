#pragma once
// The qm5 command's error lines. Every failure names the file it concerns
// and the reason, as "wall.bmp: not a picture qm5 reads (BMP, PCX, PNG, TGA)".

#include <cstdint>
#include <span>
#include <string>
#include <system_error>

#include "cli/context.hpp"
#include "maker/file_list.hpp"
#include "maker/input_pictures.hpp"
#include "core/heap_array.hpp"
#include "core/printf_format.hpp"
#include "texture/texture_decoder.hpp"
#include "texture/texture_input.hpp"

namespace qm5::cli {

// "qm5: <file>: <reason>\n" on the error stream, the one form of every
// message about a file.
QM5_PRINTF_FORMAT(3, 4)
void fileError(const Context& context, const char* file, const char* format, ...);

// " (<the system's reason>)", as " (No space left on device)"; empty for
// no error.
std::string systemReason(std::error_code error);

// "qm5 <command>: <what>\nTry 'qm5 <command> --help'.\n"; returns kUsage.
int usageError(const Context& context, const char* command, const std::string& what);

// Why a file cannot be read, from the system: "cannot be opened (No such
// file or directory)", "cannot be read (Is a directory)".
std::string unreadableReason(const char* path);

// Reads the texture at path, or standard input for "-", as far as request
// says (texture/texture_input.hpp); on failure reports "qm5: <path>:
// <reason>" and returns false.
bool readTextureInput(const Context& context, const char* path, const TextureReadRequest& request, TextureRead& out);

// Reads the texture at path as far as decoding its first `images` images
// (UINT64_MAX: all) under limits needs, and its header; false after a message.
bool readTextureToDecode(const Context& context, const char* path, std::uint64_t images, const DecodeOptions& limits,
                         TextureRead& out, TextureHeader& header);

// The header of the texture held in file; on failure reports "<path>:
// not a Qm5 texture of version 100" (or that the file ends inside the
// header) and returns false.
bool readTextureHeader(const Context& context, const char* path, std::span<const std::uint8_t> file,
                       TextureHeader& header);

// Reports why the pictures of input could not be loaded.
// fromStream: input names standard input, which was read instead.
void reportInputFailure(const Context& context, const char* input, const FileList& files,
                        const InputFailure& failure, bool fromStream = false);

// Reports why the texture at path could not be decoded, from the fault;
// file holds the texture's bytes, options the limits it was decoded with.
void reportTextureFailure(const Context& context, const char* path, std::span<const std::uint8_t> file,
                          TextureError error, const TextureFault& fault, const DecodeOptions& options);

}  // namespace qm5::cli
