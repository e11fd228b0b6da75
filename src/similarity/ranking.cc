#include "src/similarity/ranking.h"

#include <emmintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <utility>

#include "src/runtime/panic.h"
#include "src/similarity/internal/ranking_fallbacks.h"

namespace velk::similarity {
namespace {

// Up to this many pairs the full sort is an insertion sort.
constexpr size_t kInsertionSortMax = 20;
// Up to this many pairs (and for every quicksort leaf) the sort is stable.
constexpr size_t kSmallSortMax = 32;
// The small sort inserts one by one up to here; above, each half has >= 8.
constexpr size_t kSmallSortInsertionMax = 16;
// Sub-ranges of the selection up to this size are finished by insertion.
constexpr size_t kSelectInsertionMax = 16;
// Partitioning steps the selection may spend before it switches to a pivot
// with a guaranteed split (median of medians).
constexpr int kSelectStepBudget = 16;
// Below this many pairs the pivot is a plain median of three samples.
constexpr size_t kPseudoMedianMin = 64;

inline int32_t key_of(const ScoredPair& pair) { return ranking_key(pair.score); }

// Inserts sorted[i] into the sorted run sorted[0 .. i): it moves left past
// every pair with a strictly smaller key and stops behind its equals.
void insert_last(ScoredPair* sorted, size_t i) {
  const ScoredPair moving = sorted[i];
  const int32_t moving_key = key_of(moving);
  size_t j = i;
  while (j > 0 && key_of(sorted[j - 1]) < moving_key) {
    sorted[j] = sorted[j - 1];
    --j;
  }
  sorted[j] = moving;
}

// Stable: equal keys keep their order.
void insertion_sort(ScoredPair* v, size_t m) {
  for (size_t i = 1; i < m; ++i) insert_last(v, i);
}

// Sorts src[0 .. 4) into dst[0 .. 4) without branches on the keys, stably:
// two ordered pairs, then their best, their worst, and the two in between.
// Whenever keys tie, the pair that came first in src stays first.
void sort4_stable(const ScoredPair* src, ScoredPair* dst) {
  const bool swap_low = key_of(src[1]) > key_of(src[0]);
  const bool swap_high = key_of(src[3]) > key_of(src[2]);
  const ScoredPair* a = &src[swap_low];       // better of the first two
  const ScoredPair* b = &src[!swap_low];      // worse of the first two
  const ScoredPair* c = &src[2 + swap_high];  // better of the last two
  const ScoredPair* d = &src[2 + !swap_high];

  const bool c_first = key_of(*c) > key_of(*a);
  const bool b_last = key_of(*d) > key_of(*b);
  const ScoredPair* best = c_first ? c : a;
  const ScoredPair* worst = b_last ? b : d;
  // The middle two: one from each ordered pair unless the best and the worst
  // came from the same one. The earlier candidate stays first on a tie.
  const ScoredPair* middle_early = c_first ? a : (b_last ? c : b);
  const ScoredPair* middle_late = b_last ? d : (c_first ? b : c);
  const bool swap_middle = key_of(*middle_late) > key_of(*middle_early);

  dst[0] = *best;
  dst[1] = swap_middle ? *middle_late : *middle_early;
  dst[2] = swap_middle ? *middle_early : *middle_late;
  dst[3] = *worst;
}

// Merges the sorted runs src[0 .. mid) and src[mid .. m) into dst[0 .. m),
// stably, from both ends at once: the front takes the better head (the left
// one on a tie), the back takes the worse tail (the right one on a tie). With
// a total order the two ends never take the same pair. Requires 0 < mid < m.
void merge_both_ends(const ScoredPair* src, size_t m, size_t mid, ScoredPair* dst) {
  // Signed positions: a tail runs to -1 once its run is used up.
  ptrdiff_t left = 0;
  ptrdiff_t right = static_cast<ptrdiff_t>(mid);
  ptrdiff_t left_tail = static_cast<ptrdiff_t>(mid) - 1;
  ptrdiff_t right_tail = static_cast<ptrdiff_t>(m) - 1;
  size_t front = 0;
  size_t back = m - 1;
  for (size_t step = 0; step < m / 2; ++step) {
    const bool take_right = key_of(src[right]) > key_of(src[left]);
    dst[front++] = src[take_right ? right : left];
    right += take_right;
    left += !take_right;

    const bool take_left_tail = key_of(src[left_tail]) < key_of(src[right_tail]);
    dst[back--] = src[take_left_tail ? left_tail : right_tail];
    left_tail -= take_left_tail;
    right_tail -= !take_left_tail;
  }
  if (m % 2 != 0) {
    // Exactly one pair is left, in whichever run is not yet used up.
    dst[front] = src[left <= left_tail ? left : right];
  }
}

// Stable sort of m <= kSmallSortMax pairs in place. Above 16 pairs it goes
// through a stack buffer: each half (8 to 16 pairs) gets a sorting network on
// its first 8 and insertion of the rest, then the halves are merged from both
// ends back into v.
void small_sort(ScoredPair* v, size_t m) {
  if (m <= kSmallSortInsertionMax) {
    insertion_sort(v, m);
    return;
  }
  ScoredPair halves[kSmallSortMax];
  ScoredPair quarters[8];
  const size_t mid = m / 2;
  for (size_t start : {size_t{0}, mid}) {
    const size_t length = start == 0 ? mid : m - mid;
    const ScoredPair* src = v + start;
    ScoredPair* dst = halves + start;
    sort4_stable(src, quarters);
    sort4_stable(src + 4, quarters + 4);
    merge_both_ends(quarters, 8, 4, dst);
    for (size_t i = 8; i < length; ++i) {
      dst[i] = src[i];
      insert_last(dst, i);
    }
  }
  merge_both_ends(halves, m, mid, v);
}

// Heap sort under "ranks earlier": the heap's root is the pair that ranks
// last, which is moved to the end each round.
void sift_down(ScoredPair* v, size_t m, size_t node) {
  for (;;) {
    size_t child = 2 * node + 1;
    if (child >= m) return;
    if (child + 1 < m && key_of(v[child]) > key_of(v[child + 1])) ++child;
    if (!(key_of(v[node]) > key_of(v[child]))) return;
    std::swap(v[node], v[child]);
    node = child;
  }
}

// Index of the median key among v[a], v[b], v[c] (any of them on a tie).
size_t median_of_three(const ScoredPair* v, size_t a, size_t b, size_t c) {
  const int32_t ka = key_of(v[a]);
  const int32_t kb = key_of(v[b]);
  const int32_t kc = key_of(v[c]);
  const bool a_below_b = ka < kb;
  const bool a_below_c = ka < kc;
  if (a_below_b != a_below_c) return a;
  // a is the least or the greatest: the median is the other extreme of b, c.
  const bool b_below_c = kb < kc;
  return (b_below_c != a_below_b) ? c : b;
}

// Median of three medians of three (and so on down), over samples spread
// across the n positions starting at each of a, b and c.
size_t pseudo_median(const ScoredPair* v, size_t a, size_t b, size_t c, size_t n) {
  if (n >= 8) {
    const size_t step = n / 8;
    a = pseudo_median(v, a, a + 4 * step, a + 7 * step, step);
    b = pseudo_median(v, b, b + 4 * step, b + 7 * step, step);
    c = pseudo_median(v, c, c + 4 * step, c + 7 * step, step);
  }
  return median_of_three(v, a, b, c);
}

// Requires s >= 8.
size_t choose_pivot(const ScoredPair* v, size_t s) {
  const size_t eighth = s / 8;
  if (s < kPseudoMedianMin) return median_of_three(v, 0, 4 * eighth, 7 * eighth);
  return pseudo_median(v, 0, 4 * eighth, 7 * eighth, eighth);
}

// Moves v[pivot] to the front and gathers behind it every other pair that
// satisfies `goes_front(key)`. Returns how many pairs were gathered (the
// pivot not counted). With kFew = false the pass has no branch on the keys;
// with kFew = true it branches, which is cheaper when few pairs go to the
// front (the branch is then predicted and the pass hardly writes).
template <bool kFew = false, class Predicate>
size_t gather_behind_front(ScoredPair* v, size_t s, size_t pivot, Predicate goes_front) {
  static_assert(sizeof(ScoredPair) == sizeof(__m128i));
  std::swap(v[0], v[pivot]);
  size_t boundary = 1;
  for (size_t i = 1; i < s; ++i) {
    if (kFew && !goes_front(key_of(v[i]))) continue;
    // Pairs move as single 16-byte values: the slot at `boundary` is often
    // read right after it was written, and a load that spans two smaller
    // stores cannot be forwarded from them, which costs far more than the
    // whole step.
    const __m128i current = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
    const __m128i displaced = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + boundary));
    const bool front = kFew || goes_front(key_of(v[i]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + i), displaced);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + boundary), current);
    boundary += front;
  }
  return boundary - 1;
}

// Partitions v[0 .. s) around v[pivot]: pairs with a larger key first, then
// the pivot, then the rest (keys <= the pivot's). Returns the pivot's place.
template <bool kFew = false>
size_t partition_around(ScoredPair* v, size_t s, size_t pivot) {
  const int32_t pivot_key = key_of(v[pivot]);
  const size_t before =
      gather_behind_front<kFew>(v, s, pivot, [pivot_key](int32_t key) { return key > pivot_key; });
  std::swap(v[0], v[before]);
  return before;
}

// For a sub-range none of whose keys exceeds v[pivot]'s: gathers the pairs
// with exactly that key at the front. Returns how many there are (>= 1).
template <bool kFew = false>
size_t gather_equal(ScoredPair* v, size_t s, size_t pivot) {
  const int32_t pivot_key = key_of(v[pivot]);
  return 1 + gather_behind_front<kFew>(v, s, pivot,
                                       [pivot_key](int32_t key) { return key >= pivot_key; });
}

// The unstable sort of v[0 .. s). `bound_key`, when `bounded`, is the key of
// a pivot that an earlier level placed just before this sub-range: no key
// here exceeds it, so a pivot equal to it means a run of equal keys, which is
// gathered in one pass instead of being partitioned again and again.
void quick_sort(ScoredPair* v, size_t s, bool bounded, int32_t bound_key, unsigned depth_budget) {
  for (;;) {
    if (s <= kSmallSortMax) {
      small_sort(v, s);
      return;
    }
    if (depth_budget == 0) {
      internal::heap_sort_by_rank(v, s);
      return;
    }
    --depth_budget;
    const size_t pivot = choose_pivot(v, s);
    if (bounded && key_of(v[pivot]) == bound_key) {
      const size_t equal = gather_equal(v, s, pivot);
      v += equal;
      s -= equal;
      bounded = false;
      continue;
    }
    const size_t place = partition_around(v, s, pivot);
    const int32_t pivot_key = key_of(v[place]);
    const size_t left = place;
    const size_t right = s - place - 1;
    // Recurse into the smaller part and loop on the larger, so the stack
    // stays logarithmic whatever the pivots.
    if (left < right) {
      quick_sort(v, left, bounded, bound_key, depth_budget);
      v += place + 1;
      s = right;
      bounded = true;
      bound_key = pivot_key;
    } else {
      quick_sort(v + place + 1, right, /*bounded=*/true, pivot_key, depth_budget);
      s = left;
    }
  }
}

// Where a large selection starts: when the target lies near the front, a
// first pivot taken from a sample, just behind the target's expected rank,
// splits off a small front part in one pass that mostly only reads. The
// sample is this many evenly spaced pairs, and only arrays of at least
// kSampledSelectMin pairs (well beyond the caches) take this route.
constexpr size_t kSampleSize = 512;
constexpr size_t kSampledSelectMin = 16384;

void introselect(ScoredPair* v, size_t s, size_t t);

// The sample rank whose pair most likely ranks just behind position t of
// v[0 .. s), or kSampleSize when t is not near the front. About three
// standard deviations (plus two) past the expected count of sampled pairs
// ahead of the target, so that the pivot falls short only rarely.
size_t sample_rank_behind(size_t s, size_t t) {
  const double expected = static_cast<double>(t + 1) * kSampleSize / static_cast<double>(s);
  const double rank = expected + 3.0 * std::sqrt(expected) + 2.0;
  return rank < kSampleSize / 8 ? static_cast<size_t>(rank) : kSampleSize;
}

// Selection of position t in v[0 .. s): introselect with the step budget,
// the remembered pivot and the fallbacks described on select_top.
void introselect(ScoredPair* v, size_t s, size_t t) {
  int steps = 0;
  bool bounded = false;
  int32_t bound_key = 0;

  const size_t sample_rank = s >= kSampledSelectMin ? sample_rank_behind(s, t) : kSampleSize;
  if (sample_rank < kSampleSize) {
    const size_t stride = s / kSampleSize;
    // Position i <= i * stride: earlier samples, already in front, stay put.
    for (size_t i = 1; i < kSampleSize; ++i) std::swap(v[i], v[i * stride]);
    introselect(v, kSampleSize, sample_rank);
    const size_t place = partition_around</*kFew=*/true>(v, s, sample_rank);
    ++steps;
    if (t == place) return;
    if (t < place) {
      s = place;
    } else {
      // The pivot fell short of the target, most likely because many pairs
      // share its key: take those next, as one run, before anything else.
      const size_t done = place + gather_equal(v + place, s - place, 0);
      ++steps;
      if (t < done) return;
      v += done;
      s -= done;
      t -= done;
    }
  }

  for (;; ++steps) {
    if (s <= kSelectInsertionMax) {
      insertion_sort(v, s);
      return;
    }
    if (steps >= kSelectStepBudget) {
      internal::select_by_median_of_medians(v, s, t);
      return;
    }
    const size_t pivot = choose_pivot(v, s);
    if (bounded && key_of(v[pivot]) == bound_key) {
      // The pivot equals one placed earlier just before this sub-range, so it
      // is this sub-range's largest key: gather its equals and skip them.
      const size_t equal = gather_equal(v, s, pivot);
      if (t < equal) return;
      v += equal;
      s -= equal;
      t -= equal;
      bounded = false;
      continue;
    }
    const size_t place = partition_around(v, s, pivot);
    if (t == place) return;
    if (t < place) {
      s = place;
    } else {
      bound_key = key_of(v[place]);
      bounded = true;
      v += place + 1;
      s -= place + 1;
      t -= place + 1;
    }
  }
}

}  // namespace

namespace internal {

void heap_sort_by_rank(ScoredPair* v, size_t m) {
  for (size_t i = m / 2; i-- > 0;) sift_down(v, m, i);
  for (size_t end = m; end-- > 1;) {
    std::swap(v[0], v[end]);
    sift_down(v, end, 0);
  }
}

// The pivot is the median of the medians of groups of five, which always
// splits off a fixed share. Only reached after the cheap pivots of 16 steps
// have not narrowed the range enough, so it favours simplicity over speed.
void select_by_median_of_medians(ScoredPair* v, size_t s, size_t t) {
  for (;;) {
    if (s <= kSelectInsertionMax) {
      insertion_sort(v, s);
      return;
    }
    const size_t groups = s / 5;
    for (size_t g = 0; g < groups; ++g) {
      ScoredPair* group = v + 5 * g;
      insertion_sort(group, 5);
      // Position g lies in a group already done (or is this group's first).
      std::swap(v[g], group[2]);
    }
    select_by_median_of_medians(v, groups, groups / 2);
    const size_t place = partition_around(v, s, groups / 2);
    if (t == place) return;
    if (t < place) {
      s = place;
      continue;
    }
    // Nothing from the pivot on exceeds it; gathering its equals right
    // behind it keeps runs of one key from stalling the loop.
    const size_t done = place + gather_equal(v + place, s - place, 0);
    if (t < done) return;
    v += done;
    s -= done;
    t -= done;
  }
}

}  // namespace internal

void sort_by_rank(ScoredPair* pairs, size_t m) {
  if (m < 2) return;
  if (m <= kInsertionSortMax) {
    insertion_sort(pairs, m);
    return;
  }
  // An input that is one run already (all ties, or scores arriving in rank
  // order) costs one pass and keeps its order exactly.
  size_t run = 2;
  if (key_of(pairs[0]) >= key_of(pairs[1])) {
    while (run < m && key_of(pairs[run]) <= key_of(pairs[run - 1])) ++run;
    if (run == m) return;
  } else {
    while (run < m && key_of(pairs[run]) > key_of(pairs[run - 1])) ++run;
    if (run == m) {
      // Strictly increasing: no ties, so reversing is the sorted order.
      for (size_t i = 0, j = m - 1; i < j; ++i, --j) std::swap(pairs[i], pairs[j]);
      return;
    }
  }
  if (m <= kSmallSortMax) {
    small_sort(pairs, m);
    return;
  }
  const unsigned depth_budget = 2 * (std::bit_width(m) - 1);
  quick_sort(pairs, m, /*bounded=*/false, /*bound_key=*/0, depth_budget);
}

void select_top(ScoredPair* pairs, size_t m, size_t k) {
  // Callers cut at k only when k < m; anything else would read past the end.
  VELK_ASSERT(k >= 1 && k < m);
  if (k == 1) {
    // The first of the best: the array is still in row order, so ties go to
    // the lowest row. Only a strictly larger key replaces the kept one.
    size_t best = 0;
    int32_t best_key = key_of(pairs[0]);
    for (size_t i = 1; i < m; ++i) {
      const int32_t key = key_of(pairs[i]);
      if (key > best_key) {
        best = i;
        best_key = key;
      }
    }
    std::swap(pairs[0], pairs[best]);
    return;
  }

  introselect(pairs, m, k - 1);
}

}  // namespace velk::similarity
