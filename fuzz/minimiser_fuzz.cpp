// Differential target: the fast engines must write the very records of the
// reference FunctionMinimiser (tests/reference/).
//
// Input: four control bytes, then the table or picture, 2 bits per entry.
//   byte 0  bit 7 clear: one table; b = (low 7 bits) mod 11
//           bit 7 set:   one picture for PictureCompressor
//   byte 1  table: entries past 2^b (mod 2^b), 0xFF = a count of 0 or below
//           picture: colour count - 1 (mod 8) in bits 0-2, pixel count high
//           bits in bits 3-4
//   byte 2  table: 0 = no record length limit, else limit = byte - 1
//           picture: pixel count low bits
//   byte 3  tuning of the fast engine: key chunk, cache block digits,
//           engine (automatic, the per-colour reference, the table,
//           top-down) and threads (picture)
// Table entries: 0 off, 1 on, 2 and 3 don't care; missing ones are off.
// Picture indices: the 2-bit value mod the colour count; missing ones 0.
//
// The reference merges every non-off position level by level, and its time
// grows steeply with their density: a table with some off entries and more
// than kMaxNonOff non-off ones is skipped (for a picture: any colour's
// table), so that inputs take milliseconds. Up to b = 6 no table is
// skipped; b = 7 to 10 are exercised with sparser tables.

#include <vector>

#include "fuzz/fuzz_target.hpp"
#include "minimiser/picture_compressor.hpp"
#include "tests/reference/colour_engine.hpp"
#include "tests/reference/fast_minimiser.hpp"
#include "tests/reference/function_minimiser.hpp"
#include "texture/texture_format.hpp"

namespace {

using namespace qm5;

constexpr std::int32_t kMaxNonOff = 96;

// True when the reference would take long: some positions off, many not.
bool tooDense(const std::int32_t* table, std::int32_t domain) {
    std::int32_t nonOff = 0;
    for (std::int32_t p = 0; p < domain; ++p) nonOff += table[p] != 0;
    return nonOff > kMaxNonOff && nonOff < domain;
}

std::uint32_t twoBits(const std::uint8_t* data, std::size_t size, std::size_t i) {
    const std::size_t byte = 4 + i / 4;
    if (byte >= size) return 0;
    return (data[byte] >> (2 * (i % 4))) & 3u;
}

// Engine 1 is the per-colour reference (compressPerColour; FastMinimiser
// runs it unless told top-down).
bool perColour(std::uint8_t t) { return ((t >> 4) & 3) == 1; }

FastTuning tuningFrom(std::uint8_t t) {
    static constexpr std::uint64_t kChunks[] = {0, 1, 7, 64};
    static constexpr int kBlocks[] = {0, 3, 4, 6};
    static constexpr MinimiserEngine kEngines[] = {MinimiserEngine::automatic, MinimiserEngine::automatic,
                                                   MinimiserEngine::allColours, MinimiserEngine::topDown};
    FastTuning tuning;
    tuning.keyChunk = kChunks[t & 3];
    tuning.blockVars = kBlocks[(t >> 2) & 3];
    tuning.engine = kEngines[(t >> 4) & 3];
    return tuning;
}

void sameRecord(std::span<const std::uint8_t> got, std::span<const std::uint8_t> want, const char* what) {
    fuzz::require(got.size() == want.size() && std::equal(got.begin(), got.end(), want.begin()), what);
}

void oneTable(const std::uint8_t* data, std::size_t size) {
    const int b = (data[0] & 0x7F) % 11;
    const std::int32_t domain = std::int32_t{1} << b;
    const std::int32_t entryCount = data[1] == 0xFF ? -b : domain + data[1] % domain;
    std::vector<std::int32_t> table(static_cast<std::size_t>(domain) * 2);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::uint32_t v = twoBits(data, size, i);
        table[i] = v == 3 ? 2 : static_cast<std::int32_t>(v);
    }
    if (tooDense(table.data(), domain)) return;
    FunctionMinimiser reference;
    FastMinimiser fast;
    FastTuning tuning = tuningFrom(data[3]);
    if (data[2] != 0) {
        reference.limitDataLengthForTesting(data[2] - 1);
        tuning.maxDataLength = data[2] - 1;
    }
    fast.setTuningForTesting(tuning);
    const bool wantOk = reference.minimise(entryCount, table.data());
    const bool gotOk = fast.minimise(entryCount, table.data());
    fuzz::require(gotOk == wantOk, "minimise results differ");
    fuzz::fold(static_cast<std::uint64_t>(reference.status()));
    if (!wantOk) {
        // Out of memory is the one failure the engines may disagree on.
        fuzz::require(fast.status() == reference.status() || fast.status() == MinimiseStatus::outOfMemory ||
                          reference.status() == MinimiseStatus::outOfMemory,
                      "failure statuses differ");
        return;
    }
    fuzz::require(fast.bitCount() == reference.bitCount(), "bit counts differ");
    fuzz::require(fast.dataLength() == reference.dataLength(), "data lengths differ");
    sameRecord(fast.record(), reference.record(), "records differ");
    fuzz::fold(static_cast<std::uint64_t>(reference.dataLength()));
}

void onePicture(const std::uint8_t* data, std::size_t size) {
    const std::uint32_t colourCount = 1 + (data[1] & 7u);
    const std::uint64_t pixelCount = 1 + ((std::uint64_t{data[1] >> 3 & 3u} << 8 | data[2]) % 1024);
    std::vector<std::uint32_t> indices(pixelCount);
    for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = twoBits(data, size, i) % colourCount;

    // The writer's tables: on = index c, don't care = a lower index or a
    // position past the picture, off = a higher index.
    const int b = positionBitCount(pixelCount);
    const std::int32_t domain = std::int32_t{1} << b;
    std::vector<std::vector<std::uint8_t>> want;
    MinimiseStatus wantStatus = MinimiseStatus::ok;
    std::vector<std::int32_t> table(static_cast<std::size_t>(domain), 2);
    for (std::uint32_t c = 0; c < colourCount; ++c) {
        for (std::uint64_t p = 0; p < pixelCount; ++p) table[p] = indices[p] == c ? 1 : indices[p] < c ? 2 : 0;
        if (tooDense(table.data(), domain)) return;
        FunctionMinimiser reference;
        if (!reference.minimise(domain, table.data())) {
            wantStatus = reference.status();
            break;
        }
        want.emplace_back(reference.record().begin(), reference.record().end());
    }

    CompressOptions options;
    options.threads = 1 + (data[3] >> 6 & 1u);
    std::uint32_t next = 0;
    const PictureCompressor::Sink check = [&](std::uint32_t c, std::span<const std::uint8_t> record) {
        fuzz::require(c == next, "colours delivered out of order");
        fuzz::require(c < want.size(), "a colour delivered past the reference's failure");
        sameRecord(record, want[c], "picture records differ");
        fuzz::fold(record.size());
        ++next;
        return true;
    };
    MinimiseStatus gotStatus;
    if (perColour(data[3])) {
        std::uint32_t failed = 0;
        gotStatus =
            compressPerColour(indices.data(), pixelCount, colourCount, options, tuningFrom(data[3]), check, failed);
    } else {
        PictureCompressor compressor;
        compressor.setTuningForTesting(tuningFrom(data[3]));
        gotStatus = compressor.compress(indices.data(), pixelCount, colourCount, options, check);
    }
    if (gotStatus == MinimiseStatus::outOfMemory || wantStatus == MinimiseStatus::outOfMemory) return;
    fuzz::require(gotStatus == wantStatus, "picture statuses differ");
    fuzz::require(next == want.size(), "colour counts differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    if ((data[0] & 0x80) != 0) {
        onePicture(data, size);
    } else {
        oneTable(data, size);
    }
    return 0;
}
