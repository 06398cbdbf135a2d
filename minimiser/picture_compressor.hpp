#pragma once
// PictureCompressor: the records of every colour of a picture, byte for byte
// those of the reference minimiser (tests/reference/function_minimiser.hpp),
// without its pairwise merging and position lists, from this fact about the
// reference (argued in prime_cover.hpp): the cubes it writes are those of a
// greedy walk over the prime implicants of the non-off set (maximal cubes
// without an off position), visited by number of free digits descending,
// then by one mask ascending, then by the ascending list of free bit indices
// compared lexicographically. A prime is skipped when all its positions are
// don't cares or all are covered already; otherwise it is written and all
// its positions count as covered.
//
// Two engines find the primes (README.md of this folder):
// - the table (slab_engine.hpp) keeps, for each of the 3^b cubes over the
//   position bits (a ternary number, ternary.hpp), the highest palette index
//   among its positions; one pass serves every colour;
// - top-down (prime_engine.hpp, prime_search.hpp) splits each colour's set
//   on its top position bit; its work follows the primes, its memory 2^b.
// scheduler.hpp spreads the colours over threads, delivers them in order and
// picks the engine: the table when it fits the memory budget, top-down first
// under a budget and wherever the table would not fit.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>

#include "core/heap_array.hpp"
#include "minimiser/limits.hpp"
#include "minimiser/minimise_status.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

// The engines of PictureCompressor; automatic: it chooses (scheduler.hpp).
enum class MinimiserEngine { automatic, allColours, topDown };

// Knobs for tests and measurements; the defaults are what the programs use.
struct FastTuning {
    MinimiserEngine engine = MinimiserEngine::automatic;
    std::int64_t maxDataLength = kMaxRecordDataLength;  // longest cube data a record may have
    std::uint64_t keyChunk = 0;            // primes kept and sorted at once; 0: automatic
    int blockVars = 0;                     // digits per cache block; 0: automatic (at least 3)
    int slabVars = 0;                      // low digits per slab of the all-colours engine; 0: automatic
};

struct CompressOptions {
    // Called on the thread that called compress, a few times a second while
    // the work goes on (within a colour too), and once at the end: done of
    // total units of work so far, done <= total. When the engine changes
    // its plan, done starts again from 0 of a new total. Empty: no calls.
    using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

    unsigned threads = 1;  // 0 counts as 1
    Progress progress;
    // Working memory the engines may take: above it the table gives way to
    // top-down, and a picture whose top-down run would pass it too is
    // refused (outOfMemory at its first colour that needs a minimiser).
    std::uint64_t memoryLimit = kDefaultCompressMemory;
    // Set (by the caller, for instance from progress) when the work is no
    // longer wanted: the palette order search stops at its next chunk of
    // records, its result of no use. The compressors stop when their sink
    // returns false.
    const std::atomic<bool>* stop = nullptr;
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
    MinimiserEngine engineUsed() const { return engineUsed_; }

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
    MinimiserEngine engineUsed_ = MinimiserEngine::automatic;
};

}  // namespace qm5
