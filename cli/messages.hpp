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

// "cannot be opened (No such file or directory)" or "cannot be read (Is
// a directory)": the system's reason for an input it could not open, or
// opened and could not read.
std::string unreadable(bool opened, std::error_code error);

// Reports why the pictures of input could not be loaded.
void reportInputFailure(const Context& context, const char* input, const FileList& files,
                        const InputFailure& failure);

// A list whose count line disagrees with its entries is read as qm5_maker
// reads it (as many as the count says, or as many as there are); says so,
// naming both numbers.
void warnListCount(const Context& context, const char* list, const FileList& files);

// "qm5: <path>: <the problem>", and what the command offers against a
// limit (--max-pixels, --no-limits).
void reportTextureProblem(const Context& context, const char* path, const TextureHeader& header,
                          const TextureProblem& problem);

}  // namespace qm5::cli
