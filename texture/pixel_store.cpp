#include "texture/pixel_store.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qm5 {

namespace {

// A stored colour as the RGBA8 word whose bytes in memory are red, green,
// blue and 255.
std::uint32_t rgbaWord(std::uint32_t colour) {
    const std::uint32_t r = colour & 0xFF, g = (colour >> 8) & 0xFF, b = (colour >> 16) & 0xFF;
    if constexpr (std::endian::native == std::endian::little) return r | g << 8 | b << 16 | 0xFF000000u;
    return r << 24 | g << 16 | b << 8 | 0xFFu;
}

template <class Out>
void put(std::uint8_t* out, std::uint64_t p, Out value) {
    std::memcpy(out + p * sizeof(Out), &value, sizeof(Out));
}

// out[p] = value(index(p)) for first <= p < end, eight at a time.
template <class Out, class Index, class Value>
void storeRange(std::uint64_t first, std::uint64_t end, Index index, Value value, std::uint8_t* out) {
    std::uint64_t p = first;
    for (; p + 8 <= end; p += 8) {
        Out values[8];
        for (int j = 0; j < 8; ++j) values[j] = value(index(p + static_cast<std::uint64_t>(j)));
        std::memcpy(out + p * sizeof(Out), values, sizeof values);
    }
    for (; p < end; ++p) put<Out>(out, p, value(index(p)));
}

// The one pass over an image's indices, in the target's format. painted:
// see storeIndexMap.
template <class Index>
void storeIndices(Index index, std::uint64_t count, std::span<const std::uint64_t> painted, const PixelTarget& target) {
    auto* out = static_cast<std::uint8_t*>(target.out);
    const auto run = [&](auto value, auto uncovered) {
        using Out = decltype(uncovered);
        if (painted.empty()) {
            storeRange<Out>(0, count, index, value, out);
            return;
        }
        for (std::uint64_t w = 0; w < painted.size(); ++w) {
            const std::uint64_t first = w << 6;
            const std::uint64_t end = std::min(first + 64, count);
            if (painted[w] == ~std::uint64_t{0}) {
                storeRange<Out>(first, end, index, value, out);
                continue;
            }
            for (std::uint64_t p = first; p < end; ++p) {
                put<Out>(out, p, ((painted[w] >> (p - first)) & 1) != 0 ? value(index(p)) : uncovered);
            }
        }
    };
    const auto lookUp = [](const HeapArray<std::uint32_t>& table) {
        return [t = table.data()](std::uint32_t i) { return t[i]; };
    };
    switch (target.format) {
        case PixelFormat::colours: run(lookUp(target.tables->colours), std::uint32_t{0}); break;
        case PixelFormat::indices: run(lookUp(target.tables->indices), std::uint32_t{0}); break;
        case PixelFormat::rgba8: run(lookUp(target.tables->rgba), rgbaWord(0)); break;
        case PixelFormat::indices16:
            run([](std::uint32_t i) { return static_cast<std::uint16_t>(i); }, std::uint16_t{0});
            break;
    }
}

// out[p] = table[index p] for a plain image's count indices (one byte each,
// or 16-bit little-endian when Wide): on a little-endian machine eight at a
// time, read as whole words (the generic loop assembles each index byte by
// byte and gathers the values in vector registers before storing them).
template <bool Wide>
void lookUpPlain(const std::uint8_t* at, std::uint64_t count, const std::uint32_t* table, std::uint8_t* out) {
    std::uint64_t p = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; p + 8 <= count; p += 8) {
            std::uint32_t index[8];
            if constexpr (Wide) {
                std::uint64_t low, high;
                std::memcpy(&low, at + 2 * p, 8);
                std::memcpy(&high, at + 2 * p + 8, 8);
                for (int j = 0; j < 4; ++j) {
                    index[j] = static_cast<std::uint32_t>(low >> (16 * j)) & 0xFFFF;
                    index[j + 4] = static_cast<std::uint32_t>(high >> (16 * j)) & 0xFFFF;
                }
            } else {
                std::uint64_t eight;
                std::memcpy(&eight, at + p, 8);
                for (int j = 0; j < 8; ++j) index[j] = static_cast<std::uint32_t>(eight >> (8 * j)) & 0xFF;
            }
            for (int j = 0; j < 8; ++j) put<std::uint32_t>(out, p + static_cast<std::uint64_t>(j), table[index[j]]);
        }
    }
    for (; p < count; ++p) {
        const std::uint32_t index = Wide ? std::uint32_t{at[2 * p]} | std::uint32_t{at[2 * p + 1]} << 8 : at[p];
        put<std::uint32_t>(out, p, table[index]);
    }
}

}  // namespace

bool PixelTables::make(std::span<const std::uint32_t> palette) {
    const std::uint64_t size = std::max<std::uint64_t>(palette.size(), 256);
    if (!colours.allocate(size) || !rgba.allocate(size) || !indices.allocate(size)) return false;
    for (std::size_t k = 0; k < palette.size(); ++k) {
        colours[k] = palette[k];
        rgba[k] = rgbaWord(palette[k]);
        indices[k] = static_cast<std::uint32_t>(k);
    }
    return true;
}

namespace {

// The table of 32-bit values that the target's format looks indices up in;
// null for 16-bit indices.
const HeapArray<std::uint32_t>* tableOf(const PixelTarget& target) {
    return target.format == PixelFormat::colours   ? &target.tables->colours
           : target.format == PixelFormat::indices ? &target.tables->indices
           : target.format == PixelFormat::rgba8   ? &target.tables->rgba
                                                   : nullptr;
}

}  // namespace

void storePlainIndices(std::span<const std::uint8_t> indices, bool wide, std::uint64_t pixelCount,
                       const PixelTarget& target) {
    const std::uint8_t* at = indices.data();
    const HeapArray<std::uint32_t>* table = tableOf(target);
    if (table != nullptr) {
        auto* out = static_cast<std::uint8_t*>(target.out);
        if (wide) {
            lookUpPlain<true>(at, pixelCount, table->data(), out);
        } else {
            lookUpPlain<false>(at, pixelCount, table->data(), out);
        }
        return;
    }
    if (wide) {
        storeIndices([at](std::uint64_t p) { return std::uint32_t{at[2 * p]} | std::uint32_t{at[2 * p + 1]} << 8; },
                     pixelCount, {}, target);
    } else {
        storeIndices([at](std::uint64_t p) { return std::uint32_t{at[p]}; }, pixelCount, {}, target);
    }
}

// Byte cells are looked up as a plain image's indices are, wherever a
// whole word of them is painted.
void storeIndexMap(const std::uint8_t* cells, std::uint64_t pixelCount, std::span<const std::uint64_t> painted,
                   const PixelTarget& target) {
    const HeapArray<std::uint32_t>* table = tableOf(target);
    if (table == nullptr) {
        storeIndices([cells](std::uint64_t p) { return std::uint32_t{cells[p]}; }, pixelCount, painted, target);
        return;
    }
    auto* out = static_cast<std::uint8_t*>(target.out);
    if (painted.empty()) {
        lookUpPlain<false>(cells, pixelCount, table->data(), out);
        return;
    }
    const std::uint32_t uncovered = target.format == PixelFormat::rgba8 ? rgbaWord(0) : 0;
    for (std::uint64_t w = 0; w < painted.size();) {
        const std::uint64_t first = w << 6;
        if (painted[w] != ~std::uint64_t{0}) {
            const std::uint64_t end = std::min(first + 64, pixelCount);
            for (std::uint64_t p = first; p < end; ++p) {
                put<std::uint32_t>(out, p, ((painted[w] >> (p - first)) & 1) != 0 ? (*table)[cells[p]] : uncovered);
            }
            ++w;
            continue;
        }
        while (w < painted.size() && painted[w] == ~std::uint64_t{0}) ++w;
        const std::uint64_t end = std::min(w << 6, pixelCount);
        lookUpPlain<false>(cells + first, end - first, table->data(), out + first * sizeof(std::uint32_t));
    }
}

void storeIndexMap(const std::uint16_t* cells, std::uint64_t pixelCount, std::span<const std::uint64_t> painted,
                   const PixelTarget& target) {
    storeIndices([cells](std::uint64_t p) { return std::uint32_t{cells[p]}; }, pixelCount, painted, target);
}

}  // namespace qm5
