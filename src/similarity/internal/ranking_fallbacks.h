// The fallbacks that bound the worst case of sort_by_rank and select_top
// (src/similarity/ranking.h). Inputs that exhaust those operations' depth and
// step budgets are impractical to build, so the fallbacks are declared here,
// for ranking.cc and for the tests that call them directly; every other
// caller uses ranking.h.
#pragma once

#include <cstddef>

#include "src/similarity/views.h"

namespace velk::similarity::internal {

// Unstable in-place heap sort of pairs[0 .. m), best first.
void heap_sort_by_rank(ScoredPair* pairs, size_t m);

// Requires t < m. Median-of-medians selection: afterwards pairs[t] holds the
// pair with the (t+1)-th largest key, no key before it is smaller and none
// after it is larger. Sub-ranges of 16 or fewer are finished stably.
void select_by_median_of_medians(ScoredPair* pairs, size_t m, size_t t);

}  // namespace velk::similarity::internal
