#include "src/similarity/ranking.h"

#include <algorithm>

namespace velk::similarity {

// First cut: plain library algorithms until the in-place versions land.
void sort_by_rank(ScoredPair* pairs, size_t m) {
  std::stable_sort(pairs, pairs + m, [](const ScoredPair& a, const ScoredPair& b) {
    return ranking_key(a.score) > ranking_key(b.score);
  });
}

void select_top(ScoredPair* pairs, size_t m, size_t k) {
  std::stable_sort(pairs, pairs + m, [](const ScoredPair& a, const ScoredPair& b) {
    return ranking_key(a.score) > ranking_key(b.score);
  });
  (void)k;
}

}  // namespace velk::similarity
