#pragma once
// Colour records held back until --auto has chosen between plain and
// compressed, and their replay into the texture.

#include <algorithm>
#include <cstdint>
#include <span>

#include "core/byte_reader.hpp"
#include "core/heap_array.hpp"
#include "texture/texture_format.hpp"
#include "texture/texture_writer.hpp"

namespace qm5 {

// Records kept until the choice between plain and compressed is made; they
// stay below the plain texture's size.
class KeptRecords {
public:
    [[nodiscard]] bool append(std::span<const std::uint8_t> record) {
        if (size_ + record.size() > data_.size()) {
            const std::uint64_t grown =
                std::max<std::uint64_t>({std::uint64_t{1} << 16, 2 * data_.size(), size_ + record.size()});
            if (!data_.resize(grown)) return false;
        }
        std::copy(record.begin(), record.end(), data_.data() + size_);
        size_ += record.size();
        return true;
    }
    std::span<const std::uint8_t> span() const { return {data_.data(), static_cast<std::size_t>(size_)}; }

private:
    HeapArray<std::uint8_t> data_;
    std::uint64_t size_ = 0;
};

// Hands the next colourCount kept records to sink; each record's length
// comes from its head.
inline bool replayRecords(ByteReader& kept, std::uint32_t colourCount, const RecordSink& sink) {
    for (std::uint32_t c = 0; c < colourCount; ++c) {
        const auto head = kept.readSpan(kRecordHeadSize);
        if (!head) return false;
        const auto data = kept.readSpan(RecordHead::from(*head).dataLength());
        if (!data || !sink(c, {head->data(), kRecordHeadSize + data->size()})) return false;
    }
    return true;
}

}  // namespace qm5
