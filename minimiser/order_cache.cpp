// OrderEvaluator's cache: lookup, insertion, the records as it holds
// them, and the cache kept within its bound: the records of the best order
// so far survive, the others go.
#include <algorithm>

#include "minimiser/limits.hpp"
#include "minimiser/order_evaluator.hpp"
#include "texture/texture_format.hpp"

namespace qm5::fast {

RecordRef OrderEvaluator::find(const Task& task) const {
    const std::uint64_t mask = slots_.size() - 1;
    for (std::uint64_t s = slotHash(task.setA, task.image, task.colour) & mask;; s = (s + 1) & mask) {
        const std::uint32_t at = slots_[s];
        if (at == 0) return kMissing;
        const Entry& e = entries_[at - 1];
        if (e.setA == task.setA && e.setB == task.setB && e.image == task.image && e.colour == task.colour) {
            return at - 1;
        }
    }
}

bool OrderEvaluator::rehash(std::uint64_t slots) {
    if (!slots_.allocate(slots)) return false;
    const std::uint64_t mask = slots - 1;
    for (std::uint32_t i = 0; i < entryCount_; ++i) {
        const Entry& e = entries_[i];
        std::uint64_t s = slotHash(e.setA, e.image, e.colour) & mask;
        while (slots_[s] != 0) s = (s + 1) & mask;
        slots_[s] = i + 1;
    }
    return true;
}

// A record's length fits Entry::length.
static_assert(kRecordHeadSize + kMaxRecordDataLength < (std::uint64_t{1} << 24));

bool OrderEvaluator::insert(const Task& task, std::span<const std::uint8_t> record, bool tooLong, RecordRef& ref) {
    if (entryCount_ + 1 >= kEmptyRecord) return false;
    // At most half the slots in use.
    if (2 * (std::uint64_t{entryCount_} + 1) > slots_.size() && !rehash(2 * slots_.size())) return false;
    if (!entries_.grow(std::uint64_t{entryCount_} + 1) || !arena_.grow(arenaUsed_ + record.size())) return false;
    const std::uint64_t cost = std::min<std::uint64_t>(task.work >> kCostShift, 0xFFFFFFFFu);
    entries_[entryCount_] = Entry{task.setA,  task.setB, task.image, task.colour, arenaUsed_,
                                  static_cast<std::uint32_t>(record.size()), tooLong ? 1u : 0u,
                                  static_cast<std::uint32_t>(cost)};
    std::copy(record.begin(), record.end(), arena_.data() + arenaUsed_);
    arenaUsed_ += record.size();
    const std::uint64_t mask = slots_.size() - 1;
    std::uint64_t s = slotHash(task.setA, task.image, task.colour) & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = entryCount_ + 1;
    ref = entryCount_++;
    return true;
}

std::uint64_t OrderEvaluator::size(RecordRef ref) const {
    if (ref >= kEmptyRecord) return kRecordHeadSize;
    return entries_[ref].tooLong ? kNoSize : entries_[ref].length;
}

std::uint64_t OrderEvaluator::cost(RecordRef ref) const {
    return ref >= kEmptyRecord ? 0 : std::uint64_t{entries_[ref].cost} << kCostShift;
}

std::span<const std::uint8_t> OrderEvaluator::record(RecordRef ref) const {
    static constexpr std::uint8_t kEmpty[kRecordHeadSize] = {0x00, 0x00, 0x00};
    static constexpr std::uint8_t kWhole[kRecordHeadSize] = {0x80, 0x00, 0x00};
    if (ref == kEmptyRecord) return kEmpty;
    if (ref == kWholeRecord) return kWhole;
    if (ref == kBareRecord) return bare_;
    return {arena_.data() + entries_[ref].offset, entries_[ref].length};
}

bool OrderEvaluator::trimCache(std::span<RecordRef> keep) {
    if (arenaUsed_ + std::uint64_t{entryCount_} * sizeof(Entry) <= kOrderCacheBytes) return true;
    status_ = MinimiseStatus::outOfMemory;
    HeapArray<std::uint32_t> remap;  // old entry -> new entry + 1
    if (!remap.allocate(entryCount_)) return false;
    std::uint32_t count = 0;
    std::uint64_t bytes = 0;
    for (const RecordRef ref : keep) {
        if (ref >= kEmptyRecord || remap[ref] != 0) continue;
        remap[ref] = ++count;
        bytes += entries_[ref].length;
    }
    HeapArray<Entry> entries;
    HeapArray<std::uint8_t> arena;
    if (!entries.allocate(std::max<std::uint32_t>(count, 1)) || !arena.allocate(std::max<std::uint64_t>(bytes, 1))) {
        return false;
    }
    std::uint64_t at = 0;
    for (std::uint32_t i = 0; i < entryCount_; ++i) {
        if (remap[i] == 0) continue;
        Entry e = entries_[i];
        std::copy(arena_.data() + e.offset, arena_.data() + e.offset + e.length, arena.data() + at);
        e.offset = at;
        at += e.length;
        entries[remap[i] - 1] = e;
    }
    for (RecordRef& ref : keep) {
        if (ref < kEmptyRecord) ref = remap[ref] - 1;
    }
    entries_ = std::move(entries);
    arena_ = std::move(arena);
    entryCount_ = count;
    arenaUsed_ = at;
    std::uint64_t slots = 1024;
    while (slots < 2 * std::uint64_t{count} + 2) slots *= 2;
    if (!rehash(slots)) return false;
    status_ = MinimiseStatus::ok;
    return true;
}

}  // namespace qm5::fast
