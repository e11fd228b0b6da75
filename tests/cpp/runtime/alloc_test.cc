#include "src/runtime/alloc.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(GrowableArrayTest, ReserveIsOneAllocationAndPushGrows) {
  GrowableArray<float> values;
  values.reserve(10);
  EXPECT_GE(values.capacity(), 10u);
  const float* first = values.data();
  for (int i = 0; i < 10; ++i) values.push_back(static_cast<float>(i));
  EXPECT_EQ(values.data(), first);
  for (int i = 10; i < 1000; ++i) values.push_back(static_cast<float>(i));
  ASSERT_EQ(values.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(values[i], static_cast<float>(i));
}

TEST(GrowableArrayTest, ImpossibleSizeIsCapacityOverflowPanic) {
  GrowableArray<double> values;
  testing::internal::CaptureStderr();
  try {
    values.reserve(kMaxAllocationBytes / 4);
    FAIL();
  } catch (const PanicError& error) {
    note_panic_caught();
    EXPECT_EQ(error.message(), "capacity overflow");
  }
  testing::internal::GetCapturedStderr();
}

TEST(GrowableArrayTest, MoveLeavesSourceEmpty) {
  GrowableArray<int> a;
  a.push_back(7);
  GrowableArray<int> b = std::move(a);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0], 7);
}

}  // namespace
}  // namespace velk
