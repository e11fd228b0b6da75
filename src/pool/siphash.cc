#include "src/pool/siphash.h"

#include <bit>

namespace velk::pool {
namespace {

// Process-wide source of distinct seeds; each new worker draws one value.
std::atomic<uint64_t> victim_counter{0};

struct SipState {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void absorb(uint64_t word, int rounds) {
    v3 ^= word;
    for (int i = 0; i < rounds; ++i) round();
    v0 ^= word;
  }
};

// Message words are little-endian whatever the host order.
uint64_t load_le64(const unsigned char* p, std::size_t n) {
  uint64_t word = 0;
  for (std::size_t i = 0; i < n; ++i) word |= uint64_t{p[i]} << (8 * i);
  return word;
}

}  // namespace

uint64_t siphash(int compression_rounds, int finalization_rounds, uint64_t k0, uint64_t k1,
                 const void* data, std::size_t len) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t full = len - len % 8;
  for (std::size_t at = 0; at < full; at += 8) {
    s.absorb(load_le64(bytes + at, 8), compression_rounds);
  }
  // The last word carries the leftover bytes and, in its top byte, the
  // length mod 256, so messages that differ only in trailing zeros differ.
  uint64_t last = load_le64(bytes + full, len - full) | (uint64_t{len & 0xff} << 56);
  s.absorb(last, compression_rounds);
  s.v2 ^= 0xff;
  for (int i = 0; i < finalization_rounds; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, std::size_t len) {
  return siphash(/*compression_rounds=*/1, /*finalization_rounds=*/3, k0, k1, data, len);
}

uint64_t victim_seed_hash(uint64_t v) {
  unsigned char le[8];
  for (int i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(v >> (8 * i));
  return siphash13(0, 0, le, sizeof le);
}

uint64_t next_victim_seed(std::atomic<uint64_t>& counter, uint64_t (*hash)(uint64_t)) {
  for (;;) {
    // relaxed: the counter only hands out distinct values; it publishes nothing.
    uint64_t v = counter.fetch_add(1, std::memory_order_relaxed);
    uint64_t seed = hash(v);
    // xorshift never leaves the all-zero state, so a zero seed would make
    // that worker always pick the same first victim.
    if (seed != 0) return seed;
  }
}

uint64_t next_victim_seed() { return next_victim_seed(victim_counter, victim_seed_hash); }

}  // namespace velk::pool
