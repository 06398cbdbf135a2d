#pragma once
// The memory limits of the minimisers and of compressing a texture, every
// one defined here and nowhere else. The longest record data is texture's
// kMaxRecordDataLength (the head states L in two bytes).

#include <cstdint>

namespace qm5 {

// Working memory of compressing one texture unless the caller says
// otherwise: the engines, the covers and tables of --best and the palette
// order search together, within the 2 GiB a 32-bit process can address
// with room for the pictures. The default of qm5 encode and of the C API's
// QM5_LIMIT_MEMORY; a picture that one thread cannot compress within it is
// too large to compress.
inline constexpr std::uint64_t kCompressMemoryLimit = std::uint64_t{1800} << 20;

// The engines' own share of it (PictureCompressor, unless the caller says
// otherwise in CompressOptions::memoryLimit): the table engine gives way to
// top-down above it; the rest of kCompressMemoryLimit is for what --best
// adds per position and the output buffers.
inline constexpr std::uint64_t kDefaultCompressMemory = std::uint64_t{1536} << 20;

// Primes the all-colours engine keeps at once, 8 bytes each (32 Mi keys).
// Pictures up to 1024 x 1024 in 256 colours keep every prime of a dithered
// photo in one pass; past it the colours go in batches, a pass each.
inline constexpr std::uint64_t kKeyBudgetBytes = std::uint64_t{256} << 20;

// Primes of one colour sorted at once, 8 bytes each (64 MiB per thread);
// a colour with more is sorted range by range, a pass per range.
inline constexpr std::uint64_t kKeyChunk = std::uint64_t{1} << 23;

// A block of a ternary array whose expansion and pruning run in cache:
// 192 KiB stays in the 512 KiB to 2 MiB of L2 per core of the machines we
// measured on, with room for the pattern tables and the stack.
inline constexpr std::uint64_t kCacheBlockBytes = std::uint64_t{192} << 10;

// Records the palette order search keeps for orders it may look at again
// (bytes of records and their entries); past it, only those of the best
// order so far are kept.
inline constexpr std::uint64_t kOrderCacheBytes = std::uint64_t{256} << 20;

}  // namespace qm5
