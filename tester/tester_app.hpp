#pragma once
#include <cstdio>

namespace qm5 {

// The tester's whole run: banner, the two fixed textures decoded to their
// fixed BMP names in the current directory, the closing wait. Returns the
// process exit status: 0 when every texture present was decoded and
// written, 1 when one was present but could not be decoded or written.
int runTester(std::FILE* out, std::FILE* in);

}  // namespace qm5
