#pragma once
// The maker's two error reporters. Each prints its line and waits for one
// character (at once when the input is at its end); neither ends the run.

#include "maker/console.hpp"

namespace qm5 {

// " ERROR : <message>\n", then one character.
void reportError(Console& console, const char* message);
// " ERROR : Not enough physical memory !\n", then one character.
void reportOutOfMemory(Console& console);

}  // namespace qm5
