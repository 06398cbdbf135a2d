#pragma once
// FunctionMinimiser: the reference minimiser, the literal pipeline the
// maker's records are defined by. It turns the PositionTable of one colour
// (2^b entries: 0 off, 1 on, 2 don't care) into the colour's record: a
// Quine-McCluskey merge of the non-off positions, level by level, and a
// greedy cover from the largest cubes down. It is written for clarity, not
// speed, and no program runs it: the engines of minimiser/ must produce
// the same record bytes, and the tests, the minimiser fuzz target and the
// benchmark hold them to it.
//
// Based on: W. V. Quine, "The problem of simplifying truth functions",
// American Mathematical Monthly 59 (1952); E. J. McCluskey, "Minimization
// of Boolean functions", Bell System Technical Journal 35 (1956): prime
// implicants by merging cubes that differ in one digit, level by level.
//
// Record: 00 00 00 when no position is non-off, 80 00 00 when none is off,
// otherwise the head L >> 8, L & 0xFF, b and L bytes of cube data.

#include <cstdint>
#include <functional>
#include <span>

#include "core/heap_array.hpp"
#include "minimiser/minimise_status.hpp"
#include "tests/reference/cube.hpp"

namespace qm5 {

// Receives the minimiser's out-of-memory messages, each a whole text to be
// shown as it is; an empty sink keeps the minimiser silent.
using MessageSink = std::function<void(const char* message)>;

class FunctionMinimiser {
public:
    explicit FunctionMinimiser(MessageSink say = {});
    virtual ~FunctionMinimiser();
    FunctionMinimiser(const FunctionMinimiser&) = delete;
    FunctionMinimiser& operator=(const FunctionMinimiser&) = delete;

    // entryCount = 2^b entries of 0 (off), 1 (on), 2 (don't care); of any
    // other count the first 2^floor(log2 entryCount) entries are used. The
    // table is copied, so the caller may reuse it at once.
    bool minimise(std::int32_t entryCount, const std::int32_t* table);

    MinimiseStatus status() const { return status_; }  // why minimise returned false
    std::span<const std::uint8_t> record() const { return record_.span(); }  // 3 + dataLength() bytes
    std::int32_t dataLength() const { return dataLength_; }
    std::int32_t bitCount() const { return bitCount_; }

    // Test hooks. The allocation with number nth (1 = the first of the next
    // run) fails as if memory had run out; 0 = none. allocationCount gives
    // the allocations the last run asked for.
    void failAllocationForTesting(std::uint64_t nth) { failAt_ = nth; }
    std::uint64_t allocationCount() const { return gate_.count; }
    // Lowers the largest data length a record may have (65535 by default).
    void limitDataLengthForTesting(std::int64_t maxLength) { maxDataLength_ = maxLength; }

private:
    bool makeLevelZero(CubeLevel& level0, std::int32_t nonOff);
    void buildLevels(CubeLevel& level0);
    bool chooseCover(CubeLevel& level0, CubeSelection& selection);
    bool writeRecord(const CubeSelection& selection);
    void say(const char* message);

    MessageSink say_;
    std::int32_t bitCount_ = 0;
    HeapArray<std::int32_t> table_;
    HeapArray<std::uint8_t> record_;
    std::int32_t dataLength_ = 0;
    MinimiseStatus status_ = MinimiseStatus::ok;
    AllocationGate gate_;
    std::uint64_t failAt_ = 0;
    std::int64_t maxDataLength_;
};

// The records of one picture by the literal pipeline, colour 0 first: one
// PositionTable per colour and one FunctionMinimiser per table. On colour
// c, positions of index c are on, positions of a lower index (written
// earlier, painted later by a reader) and positions past the picture are
// don't care, positions of a higher index are off. indices: pixelCount
// palette indices below colourCount. sink may return false to stop;
// failedColour names the colour of a failure. Its out-of-memory messages
// go to say.
using ReferenceSink = std::function<bool(std::uint32_t colour, std::span<const std::uint8_t> record)>;
MinimiseStatus referenceRecords(const std::uint32_t* indices, std::uint64_t pixelCount, std::uint32_t colourCount,
                                const ReferenceSink& sink, std::uint32_t& failedColour, const MessageSink& say = {});

}  // namespace qm5
