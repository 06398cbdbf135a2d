#pragma once
// One picture's colour records from the engine a mode asks for, and the
// threads the engines may use within a memory limit.

#include <cstdint>

#include "maker/progress.hpp"
#include "minimiser/minimise_status.hpp"
#include "picture/picture.hpp"
#include "texture/texture_writer.hpp"

namespace qm5 {

// The records of one picture, colour 0 first: the maker's (PictureCompressor)
// or, with best, those of BestCompressor. progress (when given) hears of the
// engine's work as it goes; the colours arrive through sink.
MinimiseStatus compressPicture(bool best, const Picture& picture, std::uint32_t colourCount, unsigned threads,
                               std::uint64_t memoryLimit, const RecordSink& sink, std::uint32_t& failedColour,
                               Progress* progress);

// Threads for the engines: as many as asked (0: one per core) while the
// working memory stays within memoryLimit; 0 when even one thread would pass it.
unsigned compressThreads(std::uint64_t pixelCount, std::uint32_t colourCount, unsigned asked, bool best,
                         std::uint64_t memoryLimit);

}  // namespace qm5
