#pragma once
// Where the qm5 command's files go: an output file that appears only when
// complete, with the system's reason when it cannot.

#include <cstdint>
#include <span>

#include "cli/context.hpp"

namespace qm5::cli {

// Writes bytes as the file name; on failure reports "qm5: <name>: cannot be
// created (<reason>)" or "cannot be written (<reason>)" and returns false.
bool writeOutputFile(const Context& context, const char* name, std::span<const std::uint8_t> bytes);

}  // namespace qm5::cli
