#pragma once
#include <cstdio>

namespace qm5 {

// The tester's whole run: banner, the two fixed textures decoded to their
// fixed BMP names in the current directory, the closing wait. Returns the
// process exit status: 0 when every texture present was decoded and
// written, 1 when one was present but could not be read, decoded (a
// picture or its painting above the qm5 command's default limits included)
// or written, or a BMP name leads to a texture; each such failure is named,
// with its reason, on err (nullptr: nowhere). A missing texture is skipped
// in silence.
int runTester(std::FILE* out, std::FILE* in, std::FILE* err);

}  // namespace qm5
