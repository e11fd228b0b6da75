/* The multiply/add peak of this machine without FMA: the ceiling that a
 * batch of queries, scored from registers, is compared against.
 *
 * Each thread runs twelve independent chains. A step of chain i multiplies
 * its vector by a factor (a separate vmulps) and adds the product into its
 * accumulator (a separate vaddps), so every step is one multiply/add pair
 * per lane, as in a scoring kernel. Twelve chains are more than the
 * multiply and add units can have in flight, so the loop is bound by their
 * throughput, not by latency. The factor comes in at run time (the caller
 * passes 1.0f, so the products never change and the sums never overflow or
 * fall into denormals) and cannot be folded away. Built at run time by
 * bench/probes.py with -ffp-contract=off, so the compiler keeps the multiply
 * and the add apart. */
#include <pthread.h>
#include <stddef.h>

#if defined(__AVX512F__)
#define LANES 16
#elif defined(__AVX__)
#define LANES 8
#else
#define LANES 4
#endif
typedef float Lanes __attribute__((vector_size(LANES * 4)));

enum { kChains = 12 };

struct Work {
  long steps;
  float factor;
  float sum;
};

static void* run_chains(void* arg) {
  struct Work* work = (struct Work*)arg;
  Lanes factor = {0};
  factor += work->factor;
  /* Seeds 1..12: each accumulator ends at steps * seed in every lane. */
  Lanes p0 = factor * 1.0f, p1 = factor * 2.0f, p2 = factor * 3.0f, p3 = factor * 4.0f;
  Lanes p4 = factor * 5.0f, p5 = factor * 6.0f, p6 = factor * 7.0f, p7 = factor * 8.0f;
  Lanes p8 = factor * 9.0f, p9 = factor * 10.0f, p10 = factor * 11.0f, p11 = factor * 12.0f;
  Lanes a0 = {0}, a1 = {0}, a2 = {0}, a3 = {0}, a4 = {0}, a5 = {0};
  Lanes a6 = {0}, a7 = {0}, a8 = {0}, a9 = {0}, a10 = {0}, a11 = {0};
  for (long step = 0; step < work->steps; ++step) {
    p0 = p0 * factor;
    a0 = a0 + p0;
    p1 = p1 * factor;
    a1 = a1 + p1;
    p2 = p2 * factor;
    a2 = a2 + p2;
    p3 = p3 * factor;
    a3 = a3 + p3;
    p4 = p4 * factor;
    a4 = a4 + p4;
    p5 = p5 * factor;
    a5 = a5 + p5;
    p6 = p6 * factor;
    a6 = a6 + p6;
    p7 = p7 * factor;
    a7 = a7 + p7;
    p8 = p8 * factor;
    a8 = a8 + p8;
    p9 = p9 * factor;
    a9 = a9 + p9;
    p10 = p10 * factor;
    a10 = a10 + p10;
    p11 = p11 * factor;
    a11 = a11 + p11;
  }
  Lanes all = ((a0 + a1) + (a2 + a3)) + ((a4 + a5) + (a6 + a7)) + ((a8 + a9) + (a10 + a11));
  float sum = 0.0f;
  for (int lane = 0; lane < LANES; ++lane) sum += all[lane];
  work->sum = sum;
  return NULL;
}

/* Lanes per vector in this build: one step of one chain is this many pairs. */
int mul_add_lanes(void) { return LANES; }

/* Chains per thread. */
int mul_add_chains(void) { return kChains; }

/* Runs `steps` steps of every chain on each of `threads` threads (the
 * calling thread is one of them) and returns the sum of every accumulator. */
float mul_add_peak(int threads, long steps, float factor) {
  enum { kMaxThreads = 64 };
  if (threads < 1) threads = 1;
  if (threads > kMaxThreads) threads = kMaxThreads;
  struct Work work[kMaxThreads];
  pthread_t ids[kMaxThreads];
  for (int t = 0; t < threads; ++t) {
    work[t].steps = steps;
    work[t].factor = factor;
    work[t].sum = 0.0f;
  }
  int started = 0;
  for (int t = 1; t < threads; ++t) {
    if (pthread_create(&ids[t], NULL, run_chains, &work[t]) != 0) break;
    started = t;
  }
  run_chains(&work[0]);
  for (int t = started + 1; t < threads; ++t) run_chains(&work[t]);
  float total = work[0].sum;
  for (int t = 1; t < threads; ++t) {
    if (t <= started) pthread_join(ids[t], NULL);
    total += work[t].sum;
  }
  return total;
}
