#pragma once
// The model behind one of the palette order search's candidate orders:
// which colour gains how much from which as a don't care, judged from the
// one-bit neighbours of each position. It only proposes an order; the
// search judges it by the real records.

#include <cstdint>
#include <span>

#include "minimiser/order_evaluator.hpp"

namespace qm5 {

// Into order (colours entries): the colours ascending by what they gain
// from all others less what the others gain from them (ties: ascending
// colour). evaluator holds the images' positions by colour. False when
// storage ran out.
[[nodiscard]] bool modelOrder(const fast::OrderEvaluator& evaluator, std::span<const std::uint32_t* const> images,
                              std::uint64_t pixels, std::uint32_t colours, std::span<std::uint32_t> order);

}  // namespace qm5
