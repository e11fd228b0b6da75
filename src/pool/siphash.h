// SipHash, used to seed each worker's victim-choice generator.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velk::pool {

// SipHash with `compression_rounds` rounds per message word and
// `finalization_rounds` at the end, key (k0, k1) as two little-endian halves,
// over `len` bytes at `data`.
uint64_t siphash(int compression_rounds, int finalization_rounds, uint64_t k0, uint64_t k1,
                 const void* data, std::size_t len);

// SipHash-1-3.
uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, std::size_t len);

// SipHash-1-3 with the all-zero key over the 8-byte little-endian form of v.
uint64_t victim_seed_hash(uint64_t v);

// A fresh, never-zero seed for a worker's victim generator: hashes the next
// value of the process-wide victim counter with victim_seed_hash, drawing
// again while the hash is 0. Safe to call from any thread.
uint64_t next_victim_seed();

// As next_victim_seed over a given counter and hash (for testing the skip of
// zero hashes).
uint64_t next_victim_seed(std::atomic<uint64_t>& counter, uint64_t (*hash)(uint64_t));

}  // namespace velk::pool
