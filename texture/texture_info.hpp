#pragma once
// Inspection of a texture file: the header as stored, where each image lies
// and what its records are, and every place where the file departs from the
// layout the maker writes (texture/texture_format.hpp). Unlike the decoder,
// which stops at the first fault it cannot read past, the inspection goes on
// as long as the lengths in the file let it find the next item, so that one
// report lists every problem it can.

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"
#include "texture/texture_problem.hpp"

namespace qm5 {

struct ImageSummary {
    std::uint64_t offset = 0;  // of its first byte
    std::uint64_t bytes = 0;   // that lie inside the file
    bool complete = false;     // false: the file ends inside this image
    std::uint32_t emptyRecords = 0;
    std::uint32_t wholeRecords = 0;
    std::uint32_t generalRecords = 0;
    std::uint64_t cubes = 0;  // in general records, fill cubes not counted
};

// Problems kept in full; more are only counted.
inline constexpr std::size_t kMaxKeptProblems = 100;

struct TextureInfo {
    std::uint64_t fileSize = 0;
    bool sizeKnown = true;  // false: a stream that goes on; fileSize is a lower bound
    bool headerRead = false;  // layout.header holds the 20 bytes as stored
    bool layoutKnown = false; // magic, version and sizes let the images be found
    // What the header and palette say (checkTextureLayout): the header as
    // stored once read; sizes, P, b and the palette's place once layoutKnown;
    // the palette itself when the file holds it.
    TextureLayout layout;
    HeapArray<ImageSummary> images;  // one per image the header counts
    std::size_t imagesReached = 0;   // images whose summary is filled
    HeapArray<TextureProblem> problems;
    std::size_t keptProblems = 0;
    std::uint64_t problemCount = 0;  // all found, kept or not

    const TextureHeader& header() const { return layout.header; }
    bool valid() const { return problemCount == 0; }
    std::span<const TextureProblem> kept() const { return {problems.data(), keptProblems}; }
};

// Walks the whole file. file may be the start of a longer input, read as
// far as the texture reaches (texture/texture_input.hpp): following bytes
// come after it, and with sizeKnown false yet more may. With cubes false
// the records' cubes are neither read nor counted (one pass over the
// heads, for readers that only need to know that every image is there).
// False only when memory for the report ran out.
bool inspectTexture(std::span<const std::uint8_t> file, TextureInfo& info, std::uint64_t following = 0,
                    bool sizeKnown = true, bool cubes = true);

}  // namespace qm5
