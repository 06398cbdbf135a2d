#pragma once
// The outcome of every minimiser: the engines, the covers of --best and the
// palette order search.

namespace qm5 {

enum class MinimiseStatus {
    ok,
    outOfMemory,    // storage could not be had
    recordTooLong,  // the cube data would exceed the 65535 bytes a head can state
    invalidTable,   // no table or picture, or an index outside the palette
};

}  // namespace qm5
