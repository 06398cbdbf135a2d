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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "picture/picture.hpp"
#include "picture/picture_reader.hpp"

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

// A picture's measure (picture/picture_reader.hpp) fed the whole file keeps
// its contract (done, or asking for more than there is), and an exact end
// is where the reader stops: read(file, out) gives the same result for the
// bytes up to it as for the whole file.
template <class Measure, class Read>
void checkExtent(std::span<const std::uint8_t> file, Measure measure, Read read) {
    PictureExtent extent;
    measure(file, extent);
    require(extent.done || extent.need > file.size(), "a measure asked for bytes it had");
    if (!extent.done || extent.kind != PictureEnd::exact || extent.end >= file.size()) return;
    Picture whole;
    Picture cut;
    const PictureError a = read(file, whole);
    const PictureError b = read(file.first(static_cast<std::size_t>(extent.end)), cut);
    require(a == b && whole.width == cut.width && whole.height == cut.height &&
                std::equal(whole.pixels.begin(), whole.pixels.end(), cut.pixels.begin(), cut.pixels.end()),
            "the bytes past a picture's exact end changed it");
}

}  // namespace qm5::fuzz
