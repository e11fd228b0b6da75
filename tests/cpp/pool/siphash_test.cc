#include "src/pool/siphash.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace velk::pool {
namespace {

// Key 00 01 .. 0f, as in the published examples.
constexpr uint64_t kKey0 = 0x0706050403020100ULL;
constexpr uint64_t kKey1 = 0x0f0e0d0c0b0a0908ULL;

struct SipVector {
  int c, d;
  std::size_t len;  // message is the bytes 00 01 .. len-1
  uint64_t expected;
};

class SipHashTest : public testing::TestWithParam<SipVector> {};

// The 2-4 values are the published ones and pin the round function and the
// length padding; the 1-3 values come from an independent reference model and
// cover every tail length class (0, 1..7 leftover bytes, whole words).
TEST_P(SipHashTest, MatchesReference) {
  const SipVector& v = GetParam();
  std::vector<unsigned char> message(v.len);
  std::iota(message.begin(), message.end(), 0);
  EXPECT_EQ(siphash(v.c, v.d, kKey0, kKey1, message.data(), message.size()), v.expected);
  if (v.c == 1 && v.d == 3) {
    EXPECT_EQ(siphash13(kKey0, kKey1, message.data(), message.size()), v.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, SipHashTest,
                         testing::Values(SipVector{2, 4, 0, 0x726fdb47dd0e0e31ULL},
                                         SipVector{2, 4, 15, 0xa129ca6149be45e5ULL},
                                         SipVector{2, 4, 64, 0xacd2c40b8502cad8ULL},
                                         SipVector{1, 3, 0, 0xabac0158050fc4dcULL},
                                         SipVector{1, 3, 1, 0xc9f49bf37d57ca93ULL},
                                         SipVector{1, 3, 7, 0xd3927d989bb11140ULL},
                                         SipVector{1, 3, 8, 0x369095118d299a8eULL},
                                         SipVector{1, 3, 9, 0x25a48eb36c063de4ULL},
                                         SipVector{1, 3, 15, 0xd320d86d2a519956ULL},
                                         SipVector{1, 3, 16, 0xcc4fdd1a7d908b66ULL},
                                         SipVector{1, 3, 63, 0x9d199062b7bbb3a8ULL}));

// Zero key over the 8-byte little-endian counter value.
TEST(VictimSeedTest, HashesCounterAsLittleEndianBytes) {
  const std::pair<uint64_t, uint64_t> cases[] = {
      {0, 0xbd60acb658c79e45ULL},          {1, 0x1e9f734161d62dd9ULL},
      {255, 0xfdac8a698572a86dULL},        {0x0123456789abcdefULL, 0x8662046e52264db8ULL},
      {UINT64_MAX, 0x2f205be2fec8e38dULL},
  };
  for (auto [value, expected] : cases) EXPECT_EQ(victim_seed_hash(value), expected) << value;
}

uint64_t zero_for_first_two(uint64_t v) { return v < 2 ? 0 : v * 7; }

TEST(VictimSeedTest, ZeroHashDrawsTheNextCounterValue) {
  std::atomic<uint64_t> counter{0};
  EXPECT_EQ(next_victim_seed(counter, zero_for_first_two), 14u);
  EXPECT_EQ(counter.load(), 3u);
  EXPECT_EQ(next_victim_seed(counter, zero_for_first_two), 21u);
}

}  // namespace
}  // namespace velk::pool
