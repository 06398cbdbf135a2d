#pragma once
// One texture of qm5 encode: the maker's stages (input pictures, palette,
// writing) for one INPUT, so that the texture is byte for byte the one
// qm5_maker writes for the same input and mode, with the command's messages.

#include <cstdint>

#include "cli/context.hpp"

namespace qm5::cli {

struct EncodeSettings {
    bool compress = false;   // -c
    bool best = false;       // --best
    unsigned effort = 0;     // --effort, the palette order search's (with --best)
    bool automatic = false;  // --auto
    bool ignoreAlpha = false;
    bool quiet = false;
    unsigned threads = 1;
    std::uint64_t maxPixels = UINT64_MAX;  // --max-pixels: a larger picture is refused before it is read
};

// Encodes input (a file, or "-" for standard input) into output (a file, or
// "-" for standard output); prints the summary line. False after the
// messages that say why not.
bool encodeTexture(const Context& context, const EncodeSettings& settings, const char* input, const char* output);

}  // namespace qm5::cli
