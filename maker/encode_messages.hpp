#pragma once
// Why an encode failed, in words: the one text of each EncodeError for the
// qm5 command's messages and the C API's last message (qm5_maker has its
// own fixed lines, classic_console.cpp).

#include "maker/encoder.hpp"

namespace qm5 {

struct EncodeMessage {
    // The text concerns the output (it cannot be created or written);
    // otherwise the input whose pictures were encoded.
    bool aboutOutput = false;
    char text[256] = {};
};

// remedy: what a picture that cannot be compressed can be written as
// instead, in the caller's terms, as "write the texture plain or with --auto".
EncodeMessage describeEncodeFailure(const EncodeResult& result, const char* remedy);

}  // namespace qm5
