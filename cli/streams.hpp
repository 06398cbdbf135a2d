#pragma once
// Where the qm5 command's data come from and go to: files, or standard input
// and output for an operand of "-". Every "-" is mapped here, and every
// input and output file is opened here.

#include <cstdint>
#include <span>

#include "cli/context.hpp"
#include "core/heap_array.hpp"
#include "maker/input_pictures.hpp"

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

}  // namespace qm5::cli
