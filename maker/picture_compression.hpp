#pragma once
// One picture's colour records from the engine asked for, and the threads
// the fast engines may use within a memory limit.

#include <cstdint>

#include "maker/console.hpp"
#include "maker/progress.hpp"
#include "maker/texture_writer.hpp"
#include "minimiser/picture_compressor.hpp"
#include "picture/picture.hpp"

namespace qm5 {

// The records of one picture from the engine, colour 0 first. progress
// (when given) hears of the colours as their records arrive, through sink.
MinimiseStatus compressPicture(RecordEngine engine, const Picture& picture,
                               std::uint32_t colourCount, unsigned threads, std::uint64_t memoryLimit,
                               const RecordSink& sink, std::uint32_t& failedColour, Progress* progress);

// Threads for the fast engines: as many as asked (0: one per core) while the
// working memory stays within memoryLimit; 0 when even one thread would pass it.
unsigned compressThreads(std::uint64_t pixelCount, std::uint32_t colourCount, unsigned asked, RecordEngine engine,
                         std::uint64_t memoryLimit);

}  // namespace qm5
