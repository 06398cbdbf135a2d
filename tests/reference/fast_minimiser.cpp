#include "tests/reference/fast_minimiser.hpp"

#include <bit>

#include "minimiser/bitmap.hpp"
#include "minimiser/prime_cover.hpp"
#include "minimiser/prime_engine.hpp"
#include "tests/reference/colour_engine.hpp"
#include "tests/reference/position_code.hpp"

namespace qm5 {

bool FastMinimiser::minimise(std::int32_t entryCount, const std::int32_t* table) {
    record_.reset();
    dataLength_ = 0;
    bitCount_ = 0;
    status_ = MinimiseStatus::ok;
    if (entryCount < 1 || table == nullptr) {
        status_ = MinimiseStatus::invalidTable;
        return false;
    }
    const int b = static_cast<int>(std::bit_width(static_cast<std::uint32_t>(entryCount))) - 1;
    const std::uint64_t size = std::uint64_t{1} << b;
    bitCount_ = b;

    std::uint64_t nonOff = 0;
    std::uint64_t on = 0;
    for (std::uint64_t p = 0; p < size; ++p) {
        if (!isOff(table[p])) ++nonOff;
        if (isOn(table[p])) ++on;
    }
    auto fail = [&](MinimiseStatus status) {
        record_.reset();
        status_ = status;
        return false;
    };
    if (nonOff == 0 || nonOff == size) {
        if (!fast::headRecord(nonOff == 0 ? RecordHead::empty() : RecordHead::whole(), record_)) {
            return fail(MinimiseStatus::outOfMemory);
        }
        return true;
    }
    // Only don't cares besides the off positions: no cube is written.
    if (on == 0) {
        if (!fast::encodeRecord({}, b, record_)) return fail(MinimiseStatus::outOfMemory);
        return true;
    }
    if (b > fast::kMaxBits) return fail(MinimiseStatus::outOfMemory);

    auto fill = [&](std::uint64_t* nonOffBits, std::uint64_t* onBits) {
        for (std::uint64_t p = 0; p < size; ++p) {
            if (!isOff(table[p])) bitmap::set(nonOffBits, p);
            if (isOn(table[p])) bitmap::set(onBits, p);
        }
    };
    MinimiseStatus status;
    if (tuning_.engine == MinimiserEngine::topDown) {
        fast::PrimeWorker worker;
        if (!worker.prepare(b, tuning_)) return fail(MinimiseStatus::outOfMemory);
        fill(worker.nonOff.data(), worker.cover.onWords());
        status = worker.run(b, tuning_, record_);
    } else {
        fast::ColourWorker worker;
        if (!worker.prepare(b, tuning_)) return fail(MinimiseStatus::outOfMemory);
        fill(worker.nonOff.data(), worker.cover.onWords());
        status = worker.run(b, tuning_, record_);
    }
    if (status != MinimiseStatus::ok) return fail(status);
    dataLength_ = static_cast<std::int32_t>(record_.size() - kRecordHeadSize);
    return true;
}

}  // namespace qm5
