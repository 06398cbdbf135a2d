#pragma once
// What every fuzz target shares. A target is one function,
// LLVMFuzzerTestOneInput, built two ways: with libFuzzer as its driver
// (clang, -DQM5_FUZZ=ON), and with replay_main.cpp as a plain program that
// runs it over saved files, so that ctest replays every corpus and crasher
// file in the normal build.
//
// A target aborts on a broken invariant (the sanitizers catch the rest) and
// folds what it computed into a volatile checksum, so that the compiler
// cannot drop the work as unused.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "picture/picture.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace qm5::fuzz {

inline volatile std::uint64_t checksum = 0;

inline void fold(std::uint64_t value) {
    const std::uint64_t old = checksum;
    checksum = (old ^ value) * 0x100000001B3ULL;
}

// Reads every pixel (so ASan sees any hole in the array) and folds them.
inline void foldPicture(const Picture& p) {
    std::uint64_t sum = static_cast<std::uint64_t>(p.width) << 32 | static_cast<std::uint32_t>(p.height);
    for (std::uint32_t v : p.pixels) sum = (sum ^ v) * 0x100000001B3ULL;
    fold(sum);
}

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

inline void require(bool condition, const char* what) {
    if (!condition) fail(what);
}

// A loaded picture has width x height pixels within the side limit and 24-bit
// values; a refused one is left empty.
inline void checkPicture(const Picture& p, bool loaded) {
    if (!loaded) {
        require(p.pixels.empty() && p.width == 0 && p.height == 0, "a refused load left a picture behind");
        return;
    }
    require(p.width >= 0 && p.height >= 0 && p.width <= kMaxSide && p.height <= kMaxSide, "sides out of range");
    require(p.pixels.size() == static_cast<std::uint64_t>(p.width) * static_cast<std::uint64_t>(p.height),
            "pixel count is not width x height");
    for (std::uint32_t v : p.pixels) require((v >> 24) == 0, "a pixel with bits above 23");
}

}  // namespace qm5::fuzz
