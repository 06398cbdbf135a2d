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

void PrimeSearch::prune(const Word* r, std::size_t words, const Word** list, int& m, int keep, const Word** d,
                        int& md) {
    std::uint32_t at[kPruneWords];  // the words of r that are not empty
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < words && count <= kPruneWords) {
        // Mostly empty words: skip them four at a time.
        while (i + 4 <= words && (r[i] | r[i + 1] | r[i + 2] | r[i + 3]) == 0) i += 4;
        if (i == words) break;
        if (r[i] != 0) {
            if (count == kPruneWords) return;
            at[count++] = static_cast<std::uint32_t>(i);
        }
        ++i;
    }
    work_ += i / 4;
    auto holdsR = [&](const Word* y) {
        std::size_t j = 0;
        while (j < count && (r[at[j]] & ~y[at[j]]) == 0) ++j;
        work_ += j;
        return j == count;
    };
    auto missesR = [&](const Word* y) {
        std::size_t j = 0;
        while (j < count && (r[at[j]] & y[at[j]]) == 0) ++j;
        work_ += j;
        return j == count;
    };
    int kept = keep;
    for (int j = keep; j < m; ++j) {
        if (!holdsR(list[j])) list[kept++] = list[j];
    }
    m = kept;
    kept = 0;
    for (int j = 0; j < md; ++j) {
        if (!missesR(d[j])) d[kept++] = d[j];
    }
    md = kept;
}

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
