#include "minimiser/prime_search.hpp"

namespace qm5::fast {

namespace {

// Words of the frame of a node over k > 6 bits: b - k + 3 sets of half its
// words (T and up to b - k + 1 list sets, or S0 - S1); with dominance sets
// up to b - k more, and T kept beside S0 - S1.
std::uint64_t frameWords(int b, int k, bool dominance) {
    return static_cast<std::uint64_t>(dominance ? 2 * (b - k) + 3 : b - k + 3) << (k - 7);
}

}  // namespace

std::uint64_t PrimeSearch::bytesFor(int b, bool dominance) {
    std::uint64_t words = 0;
    for (int k = 7; k <= b; ++k) words += frameWords(b, k, dominance);
    return words * sizeof(Word);
}

bool PrimeSearch::prepare(int b, bool dominance) {
    if (b == b_ && (dominance_ || !dominance)) return true;
    b_ = -1;
    if (b < 0 || b >= 32) return false;
    if (!arena_.allocate(std::max<std::uint64_t>(1, bytesFor(b, dominance) / sizeof(Word)))) return false;
    Word* at = arena_.data();
    for (int k = 7; k <= b; ++k) {
        frames_[k].sets = at;
        at += frameWords(b, k, dominance);
    }
    b_ = b;
    dominance_ = dominance;
    return true;
}

}  // namespace qm5::fast
