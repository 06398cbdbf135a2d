// OrderEvaluator's records as the cache holds them, and the cache kept
// within its bound: the records of the best order so far survive, the
// others go.
#include "minimiser/limits.hpp"
#include "minimiser/order_evaluator.hpp"
#include "texture/texture_format.hpp"

namespace qm5::fast {

std::uint64_t OrderEvaluator::size(RecordRef ref) const {
    if (ref >= kEmptyRecord) return kRecordHeadSize;
    return entries_[ref].tooLong ? kNoSize : entries_[ref].length;
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
