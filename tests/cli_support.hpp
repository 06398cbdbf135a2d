#pragma once
// What the tests of the qm5 command share: running it, the formats it names,
// and a small list of pictures.

#include <string>
#include <vector>

#include "formats/png_codec.hpp"
#include "tests/synthetic_picture.hpp"
#include "tests/test_support.hpp"

namespace qm5::test {

// The formats qm5 names in its refusals.
inline const char* formatNames() { return pngSupported() ? "BMP, PCX, PNG, TGA" : "BMP, PCX, TGA"; }

// Runs the built qm5 in dir, standard input given.
inline RunResult qm5(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = "") {
    return runProgram(QM5_CMD_BIN, args, dir.path(), input);
}

// Three 8 x 8 pictures s0..s2.bmp and the list sky.lst naming them.
inline void writeSkyList(const TempDir& dir) {
    for (int i = 0; i < 3; ++i)
        writeFile(dir / ("s" + std::to_string(i) + ".bmp"),
                  bmp24(8, 8, randomPixels(64, 4, static_cast<std::uint32_t>(10 + i))));
    writeText(dir / "sky.lst", "3\ns0.bmp 0\ns1.bmp 0\ns2.bmp 7\n");
}

}  // namespace qm5::test
