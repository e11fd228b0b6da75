/* A streaming read of one block of memory on 1..N threads: the bandwidth
 * ceiling that a scan over the same matrix is compared against.
 *
 * Each thread sums its own contiguous share of the floats with eight
 * independent vector accumulators, so the adds never wait on each other and
 * the loop is bound by memory, not by add latency. The sum is returned so the
 * compiler cannot drop the reads. Built at run time by benchmark.py.
 *
 * A matrix of 2-byte elements is read the same way, as 4-byte words: only the
 * bytes loaded count, not what their bits add up to as floats. */
#include <pthread.h>
#include <stddef.h>

#if defined(__AVX512F__)
#define LANES 16
#else
#define LANES 8
#endif
typedef float Lanes __attribute__((vector_size(LANES * 4)));
/* Same vector, but loadable from any float address: numpy only promises
 * 16-byte alignment. */
typedef float UnalignedLanes __attribute__((vector_size(LANES * 4), aligned(4)));

struct Share {
  const float* start;
  size_t count;
  int passes;
  float sum;
};

static void* sum_share(void* arg) {
  struct Share* share = (struct Share*)arg;
  const float* p = share->start;
  size_t count = share->count;
  float total = 0.0f;
  for (int pass = 0; pass < share->passes; ++pass) {
    Lanes a0 = {0}, a1 = {0}, a2 = {0}, a3 = {0};
    Lanes a4 = {0}, a5 = {0}, a6 = {0}, a7 = {0};
    size_t i = 0;
    for (; i + 8 * LANES <= count; i += 8 * LANES) {
      const float* q = p + i;
      a0 += *(const UnalignedLanes*)(q + 0 * LANES);
      a1 += *(const UnalignedLanes*)(q + 1 * LANES);
      a2 += *(const UnalignedLanes*)(q + 2 * LANES);
      a3 += *(const UnalignedLanes*)(q + 3 * LANES);
      a4 += *(const UnalignedLanes*)(q + 4 * LANES);
      a5 += *(const UnalignedLanes*)(q + 5 * LANES);
      a6 += *(const UnalignedLanes*)(q + 6 * LANES);
      a7 += *(const UnalignedLanes*)(q + 7 * LANES);
    }
    float tail = 0.0f;
    for (; i < count; ++i) tail += p[i];
    Lanes all = ((a0 + a1) + (a2 + a3)) + ((a4 + a5) + (a6 + a7));
    for (int lane = 0; lane < LANES; ++lane) tail += all[lane];
    total += tail;
  }
  share->sum = total;
  return NULL;
}

/* Reads `count` floats from `data` `passes` times, split over `threads`
 * threads (the calling thread takes the first share). Returns the sum. */
float stream_read(const float* data, size_t count, int threads, int passes) {
  enum { kMaxThreads = 64 };
  if (threads < 1) threads = 1;
  if (threads > kMaxThreads) threads = kMaxThreads;
  struct Share shares[kMaxThreads];
  pthread_t ids[kMaxThreads];
  /* Shares start on 64-float boundaries so no two threads touch one line. */
  size_t per = (count / (size_t)threads + 63) / 64 * 64;
  size_t begin = 0;
  for (int t = 0; t < threads; ++t) {
    size_t end = begin + per < count ? begin + per : count;
    if (t == threads - 1) end = count;
    shares[t].start = data + begin;
    shares[t].count = end - begin;
    shares[t].passes = passes;
    shares[t].sum = 0.0f;
    begin = end;
  }
  int started = 0;
  for (int t = 1; t < threads; ++t) {
    if (pthread_create(&ids[t], NULL, sum_share, &shares[t]) != 0) break;
    started = t;
  }
  sum_share(&shares[0]);
  /* A thread that could not start has its share read here instead. */
  for (int t = started + 1; t < threads; ++t) sum_share(&shares[t]);
  float total = shares[0].sum;
  for (int t = 1; t < threads; ++t) {
    if (t <= started) pthread_join(ids[t], NULL);
    total += shares[t].sum;
  }
  return total;
}
