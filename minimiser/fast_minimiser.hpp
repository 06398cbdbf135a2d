#pragma once
// Fast exact minimisers. They write byte for byte the records of the
// reference FunctionMinimiser, without its pairwise merging and position
// lists, from this fact about the reference (argued in prime_cover.hpp): the
// cubes it writes are those of a greedy walk over the prime implicants of
// the non-off set (maximal cubes without an off position), visited by number
// of free digits descending, then by one mask ascending, then by the
// ascending list of free bit indices compared lexicographically. A prime is
// skipped when all its positions are don't cares or all are covered already;
// otherwise it is written and all its positions count as covered.
//
// The primes come from the 3^b cubes over the position bits, each cube a
// ternary number (digit 0, 1 or free per bit; ternary.hpp):
// - FastMinimiser, and PictureCompressor's per-colour engine
//   (colour_engine.hpp), keep one bit per cube, "inside the non-off set".
// - PictureCompressor's all-colours engine (slab_engine.hpp) keeps per cube
//   the highest palette index among its positions; one pass serves every
//   colour.
// scheduler.hpp spreads the colours over threads, delivers them in order and
// picks the engine within the memory budget.

#include <cstdint>
#include <functional>
#include <span>

#include "minimiser/function_minimiser.hpp"
#include "minimiser/limits.hpp"
#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

// Knobs for tests and measurements; the defaults are what the maker uses.
struct FastTuning {
    // automatic: FastMinimiser takes perColour, PictureCompressor chooses.
    enum class Engine { automatic, perColour, allColours, topDown };
    Engine engine = Engine::automatic;
    std::int64_t maxDataLength = kMaxRecordDataLength;  // longest cube data a record may have
    std::uint64_t keyChunk = 0;            // primes kept and sorted at once; 0: automatic
    int blockVars = 0;                     // digits per cache block; 0: automatic (at least 3)
    int slabVars = 0;                      // low digits per slab of the all-colours engine; 0: automatic
};

// One colour: a drop-in for FunctionMinimiser producing identical records.
class FastMinimiser {
public:
    FastMinimiser() = default;
    FastMinimiser(const FastMinimiser&) = delete;
    FastMinimiser& operator=(const FastMinimiser&) = delete;

    // As FunctionMinimiser::minimise: entryCount entries of 0 (off), 1 (on),
    // 2 (don't care); the first 2^floor(log2 entryCount) are used.
    bool minimise(std::int32_t entryCount, const std::int32_t* table);

    MinimiseStatus status() const { return status_; }
    std::span<const std::uint8_t> record() const { return record_.span(); }  // 3 + dataLength() bytes
    std::int32_t dataLength() const { return dataLength_; }
    std::int32_t bitCount() const { return bitCount_; }

    void setTuningForTesting(const FastTuning& tuning) { tuning_ = tuning; }

private:
    FastTuning tuning_;
    HeapArray<std::uint8_t> record_;
    std::int32_t dataLength_ = 0;
    std::int32_t bitCount_ = 0;
    MinimiseStatus status_ = MinimiseStatus::ok;
};

struct CompressOptions {
    // Called on the thread that called compress, a few times a second while
    // the work goes on (within a colour too), and once at the end: done of
    // total units of work so far, done <= total. When the engine changes
    // its plan, done starts again from 0 of a new total. Empty: no calls.
    using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

    unsigned threads = 1;  // 0 counts as 1
    Progress progress;
    // Working memory the all-colours engine may take; above it the
    // per-colour engine is used (slower; 3^b / 6.75 bytes per thread), and
    // above that too the picture is refused (outOfMemory at its first colour
    // that needs a minimiser).
    std::uint64_t memoryLimit = kDefaultCompressMemory;
};

// All colours of one picture, as the texture writer needs them. Colour c's
// table: on = index c, don't care = index below c or position P .. 2^b - 1,
// off = index above c.
class PictureCompressor {
public:
    using Sink = std::function<bool(std::uint32_t colour, std::span<const std::uint8_t> record)>;

    // indices: pixelCount palette indices, each below colourCount. sink gets
    // colours 0 .. colourCount - 1 strictly in order, on the calling thread,
    // and may return false to stop (compress then returns ok). On failure
    // (recordTooLong, outOfMemory, invalidTable for an index out of range)
    // the colours before failedColour() have been delivered and no later one.
    // The records do not depend on the thread count.
    MinimiseStatus compress(const std::uint32_t* indices, std::uint64_t pixelCount, std::uint32_t colourCount,
                            const CompressOptions& options, const Sink& sink);
    std::uint32_t failedColour() const { return failedColour_; }
    // The engine of the last compress (automatic when none ran: no colour
    // needed cubes, or the picture was refused first).
    FastTuning::Engine engineUsed() const { return engineUsed_; }

    // Upper bound of the working memory compress() takes (bytes), so that a
    // caller can refuse a picture before starting.
    static std::uint64_t workingMemoryBound(std::uint64_t pixelCount, std::uint32_t colourCount, unsigned threads,
                                            std::uint64_t memoryLimit = CompressOptions{}.memoryLimit);

    // Longest cube data a record may have; past it, recordTooLong. 65535 by default.
    void setMaxDataLength(std::int64_t length) { tuning_.maxDataLength = length; }
    void setTuningForTesting(const FastTuning& tuning) { tuning_ = tuning; }

private:
    FastTuning tuning_;
    std::uint32_t failedColour_ = 0;
    FastTuning::Engine engineUsed_ = FastTuning::Engine::automatic;
};

}  // namespace qm5
