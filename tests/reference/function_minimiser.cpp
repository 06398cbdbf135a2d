#include "tests/reference/function_minimiser.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "tests/reference/position_code.hpp"
#include "texture/texture_format.hpp"

namespace qm5 {

namespace {

// Level k holds cubes with k free digits, so there are at most b + 1 levels.
constexpr std::size_t kMaxLevels = kMaxPositionBits + 2;

}  // namespace

FunctionMinimiser::FunctionMinimiser(MessageSink say)
    : say_(std::move(say)), maxDataLength_(kMaxRecordDataLength) {}

FunctionMinimiser::~FunctionMinimiser() = default;

void FunctionMinimiser::say(const char* message) {
    if (say_) say_(message);
}

bool FunctionMinimiser::minimise(std::int32_t entryCount, const std::int32_t* table) {
    record_.reset();
    table_.reset();
    dataLength_ = 0;
    bitCount_ = 0;
    status_ = MinimiseStatus::ok;
    gate_ = AllocationGate{failAt_, 0};

    if (entryCount < 1 || table == nullptr) {
        status_ = MinimiseStatus::invalidTable;
        return false;
    }
    // The integer part of log2(entryCount): the exponent of a power of two.
    const std::int32_t b = static_cast<std::int32_t>(std::bit_width(static_cast<std::uint32_t>(entryCount))) - 1;
    const std::int64_t size = std::int64_t{1} << b;

    // 1. The own copy of the table.
    if (!gatedAllocate(table_, static_cast<std::uint64_t>(size), &gate_)) {
        status_ = MinimiseStatus::outOfMemory;
        return false;
    }
    for (std::int64_t p = 0; p < size; ++p) table_[static_cast<std::size_t>(p)] = table[p];
    bitCount_ = b;

    // 2. - 4. The two heads without data.
    std::int32_t nonOff = 0;
    for (std::int32_t entry : table_) {
        if (!isOff(entry)) ++nonOff;
    }
    if (nonOff == 0 || nonOff == size) {
        if (!gatedAllocate(record_, kRecordHeadSize, &gate_)) {
            status_ = MinimiseStatus::outOfMemory;
            return false;
        }
        const RecordHead head = nonOff == 0 ? RecordHead::empty() : RecordHead::whole();
        head.write(record_.data());
        return true;
    }

    // 5. - 9. The working storage lives until the end of this call.
    CubeLevel level0;
    if (!makeLevelZero(level0, nonOff)) {
        status_ = MinimiseStatus::outOfMemory;
        return false;
    }
    buildLevels(level0);
    CubeSelection selection;
    if (!chooseCover(level0, selection)) {
        status_ = MinimiseStatus::outOfMemory;
        return false;
    }
    return writeRecord(selection);
}

// Level 0: the non-off positions in ascending order. A don't care is marked
// from the start: it takes part in merging but is never chosen on its own.
bool FunctionMinimiser::makeLevelZero(CubeLevel& level0, std::int32_t nonOff) {
    if (!level0.reserve(nonOff, &gate_)) {
        say("Malo pameti pro kraceni funkce !");
        return false;
    }
    const auto size = static_cast<std::int32_t>(table_.size());
    for (std::int32_t p = 0; p < size; ++p) {
        const std::int32_t entry = table_[static_cast<std::size_t>(p)];
        if (isOff(entry)) continue;
        Cube cube;
        switch (makePositionCube(p, bitCount_, cube, &gate_)) {
            case CubeStorage::ok:
                break;
            case CubeStorage::noDigits:
                say(" ERROR : Unepected error !\n");
                return false;
            case CubeStorage::noPositions:
                say(" ERROR : Not enough memory !\n");
                return false;
        }
        if (isDontCare(entry)) cube.merged = 1;
        level0.append(std::move(cube));
    }
    return true;
}

// Merges each level into the next until a level has no mergeable pair. A
// storage failure never ends the run: a merged cube that cannot be made is
// left out (its pair stays unmarked by it, so the cover is still sound), and
// a level that cannot be made makes the current level the last.
void FunctionMinimiser::buildLevels(CubeLevel& level0) {
    CubeLevel* current = &level0;
    for (;;) {
        const std::int64_t pairs = countPairs(*current);
        if (pairs == 0) return;

        // countPairs bounds the cubes merging can make, so next never grows.
        std::unique_ptr<CubeLevel> next(gate_.allow() ? new (std::nothrow) CubeLevel : nullptr);
        if (!next || !next->reserve(pairs, &gate_)) return;
        current->next = std::move(next);
        CubeLevel& following = *current->next;

        for (std::int32_t i = 0; i < current->count; ++i) {
            for (std::int32_t j = i + 1; j < current->count; ++j) {
                Cube& u = current->cubes[static_cast<std::size_t>(i)];
                Cube& v = current->cubes[static_cast<std::size_t>(j)];
                if (!canMerge(u, v)) continue;
                Cube w;
                const CubeStorage made = mergeCubes(u, v, w, &gate_);
                if (made == CubeStorage::noPositions) say("Nedostatek pameti [1] !\n");
                if (made != CubeStorage::ok) continue;
                bool known = false;
                for (std::int32_t k = 0; k < following.count && !known; ++k) {
                    known = sameCube(following.cubes[static_cast<std::size_t>(k)], w);
                }
                if (known) continue;  // w is released here; u and v stay as they are
                following.append(std::move(w));
                u.merged = 1;
                v.merged = 1;
            }
        }

        // Marked cubes are neither merged again nor chosen; they stay in the
        // array, without storage.
        for (std::int32_t i = 0; i < current->count; ++i) {
            Cube& cube = current->cubes[static_cast<std::size_t>(i)];
            if (cube.merged == 1) cube.release();
        }
        current = &following;
    }
}

// Greedy cover from the last level down, each level in the order made.
bool FunctionMinimiser::chooseCover(CubeLevel& level0, CubeSelection& selection) {
    const std::size_t size = table_.size();
    if (!gatedAllocate(selection.coverTable, size, &gate_) || !gatedAllocate(selection.cubes, size, &gate_)) {
        say(" ERROR : Not enough memory !\n");
        return false;
    }
    selection.count = 0;

    std::array<const CubeLevel*, kMaxLevels> levels{};
    std::size_t levelCount = 0;
    for (const CubeLevel* level = &level0; level != nullptr; level = level->next.get()) levels[levelCount++] = level;

    while (levelCount > 0) {
        const CubeLevel& level = *levels[--levelCount];
        for (std::int32_t c = 0; c < level.count; ++c) {
            const Cube& cube = level.cubes[static_cast<std::size_t>(c)];
            if (cube.merged != 0) continue;
            bool allDontCare = true;
            bool allCovered = true;
            for (std::int32_t p : cube.positions) {
                if (!isDontCare(table_[static_cast<std::size_t>(p)])) allDontCare = false;
                if (selection.coverTable[static_cast<std::size_t>(p)] != 1) allCovered = false;
            }
            // A cube is chosen when one of its positions is not yet covered,
            // even when that position is a don't care and every on position
            // of the cube is covered already.
            if (allDontCare || allCovered) continue;
            for (std::int32_t p : cube.positions) selection.coverTable[static_cast<std::size_t>(p)] = 1;
            // Each chosen cube covers a new position, so 2^b entries suffice.
            selection.cubes[static_cast<std::size_t>(selection.count++)] = &cube;
        }
    }
    return true;
}

bool FunctionMinimiser::writeRecord(const CubeSelection& selection) {
    const std::uint64_t length = cubeDataLength(static_cast<std::uint64_t>(selection.count), bitCount_);
    // The head holds L in two bytes; a longer record cannot be stated.
    if (length > static_cast<std::uint64_t>(maxDataLength_)) {
        status_ = MinimiseStatus::recordTooLong;
        return false;
    }
    if (!gatedAllocate(record_, kRecordHeadSize + length, &gate_)) {
        status_ = MinimiseStatus::outOfMemory;
        return false;
    }
    const RecordHead head = RecordHead::general(static_cast<std::uint32_t>(length), bitCount_);
    head.write(record_.data());
    const std::span<const Cube* const> chosen(selection.cubes.data(), static_cast<std::size_t>(selection.count));
    if (!encodeCubes(chosen, bitCount_, record_.span().subspan(kRecordHeadSize))) {
        record_.reset();
        status_ = MinimiseStatus::outOfMemory;
        return false;
    }
    dataLength_ = static_cast<std::int32_t>(length);
    return true;
}

MinimiseStatus referenceRecords(const std::uint32_t* indices, std::uint64_t pixelCount, std::uint32_t colourCount,
                                const ReferenceSink& sink, std::uint32_t& failedColour, const MessageSink& say) {
    const int b = positionBitCount(pixelCount);
    const std::uint64_t domain = std::uint64_t{1} << b;
    HeapArray<std::int32_t> table;
    if (!table.allocate(domain)) return MinimiseStatus::outOfMemory;
    for (std::uint64_t p = pixelCount; p < domain; ++p) table[p] = codeOf(PositionCode::dontCare);
    for (std::uint32_t c = 0; c < colourCount; ++c) {
        for (std::uint64_t p = 0; p < pixelCount; ++p) {
            const std::uint32_t index = indices[p];
            table[p] = codeOf(index == c ? PositionCode::on : index < c ? PositionCode::dontCare : PositionCode::off);
        }
        FunctionMinimiser minimiser(say);
        if (!minimiser.minimise(static_cast<std::int32_t>(domain), table.data())) {
            failedColour = c;
            return minimiser.status();
        }
        if (!sink(c, minimiser.record())) return MinimiseStatus::ok;
    }
    return MinimiseStatus::ok;
}

}  // namespace qm5
