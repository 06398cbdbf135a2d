#pragma once
// The colour options of qm5 encode and verify: --quality DB, --colors N,
// --dither and --matte COLOUR, read once for both commands.

#include <cstdint>
#include <string>

#include "cli/options.hpp"
#include "formats/read_options.hpp"
#include "maker/encoder.hpp"

namespace qm5::cli {

struct ColourOptions {
    EncodeReduction reduction;  // --quality, --colors, --dither
    bool matte = false;         // --matte
    std::uint32_t matteColour = 0;  // packed as a picture packs it (red in bits 0..7)

    void applyTo(ReadOptions& read) const {
        read.matte = matte;
        read.matteColour = matteColour;
    }
};

// False with the usage error's text in error.
bool parseColourOptions(const ParsedOptions& options, ColourOptions& out, std::string& error);

// "36", "34.5" or "34.25" dB, 1 to 99, in hundredths of a dB.
bool parseQuality(const char* text, std::uint32_t& hundredths);
// "#ff00ff", "ff00ff" or "255,0,255", packed as a picture packs it.
bool parseColour(const char* text, std::uint32_t& packed);

}  // namespace qm5::cli
