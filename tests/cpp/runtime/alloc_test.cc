#include "src/runtime/alloc.h"

#include <gtest/gtest.h>

#include <new>

// The sanitizers' allocators treat a request they cannot serve as an error of
// their own; here it must be a null result, as from the C library.
#define VELK_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))
VELK_SANITIZER_HOOK const char* __tsan_default_options() { return "allocator_may_return_null=1"; }
VELK_SANITIZER_HOOK const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace velk {
namespace {

// Below kMaxAllocationBytes, so it reaches the allocator, which refuses it:
// no machine maps an exbibyte.
constexpr std::size_t kRefused = std::size_t{1} << 60;

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

// A refusal unwinds as AllocationFailure, quietly, counted until caught,
// whichever helper asked, huge-page sized and aligned requests included.
TEST(AllocationFailureTest, RefusalThrowsTheSizeWithoutAReport) {
  using Allocate = void* (*)(std::size_t, std::size_t);
  for (Allocate allocate : {Allocate{&allocate_or_throw}, Allocate{&allocate_zeroed_or_throw}}) {
    for (std::size_t align : {std::size_t{8}, std::size_t{64}, std::size_t{4096}}) {
      testing::internal::CaptureStderr();
      try {
        allocate(kRefused, align);
        ADD_FAILURE() << "no failure";
      } catch (const std::bad_alloc& failure) {
        EXPECT_EQ(thread_panic_count(), 1);
        note_panic_caught();
        EXPECT_NE(dynamic_cast<const AllocationFailure*>(&failure), nullptr);
        EXPECT_EQ(refused_bytes(failure), kRefused);
      }
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
      EXPECT_EQ(thread_panic_count(), 0);
    }
  }
  EXPECT_EQ(try_allocate(kRefused, 16), nullptr);
  EXPECT_EQ(refused_bytes(std::bad_alloc()), 0u);
}

TEST(AllocationFailureTest, RefusedGrowthLeavesTheArrayAsItWas) {
  GrowableArray<uint64_t> values;
  for (uint64_t i = 0; i < 100; ++i) values.push_back(i);
  const uint64_t* data = values.data();
  const std::size_t capacity = values.capacity();
  try {
    values.reserve(kRefused / sizeof(uint64_t));
    ADD_FAILURE() << "no failure";
  } catch (const AllocationFailure& failure) {
    note_panic_caught();
    EXPECT_GE(failure.bytes(), kRefused);
  }
  ASSERT_EQ(values.size(), 100u);
  EXPECT_EQ(values.data(), data);
  EXPECT_EQ(values.capacity(), capacity);
  for (uint64_t i = 0; i < 100; ++i) EXPECT_EQ(values[i], i);
  EXPECT_TRUE(values.try_push_back(100));
  EXPECT_EQ(values[100], 100u);
}

TEST(AllocationFailureDeathTest, AbortingHelperReportsAndAborts) {
  EXPECT_DEATH(allocate_or_abort(kRefused),
               "memory allocation of 1152921504606846976 bytes failed");
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
