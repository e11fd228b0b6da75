#include "src/pool/job.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "src/pool/latch.h"
#include "src/runtime/panic.h"

namespace velk::pool {
namespace {

std::string message_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const PanicError& error) {
    note_panic_caught();
    return error.message();
  }
  return "<no panic>";
}

TEST(JobOutcomeTest, ResultsFailuresAndUnrunJobsAreTold) {
  JobOutcome<int> completed;
  completed.store_result(7);
  EXPECT_EQ(completed.take_result(), 7);

  JobOutcome<int> never_ran;
  EXPECT_EQ(message_of([&] { never_ran.take_result(); }),
            "internal error: entered unreachable code");

  JobOutcome<int> failed;
  try {
    panic("the job failed");
  } catch (...) {
    note_panic_caught();
    failed.store_failure(std::current_exception());
  }
  EXPECT_EQ(failed.kind(), JobOutcomeKind::kFailed);
  EXPECT_EQ(message_of([&] { failed.take_result(); }), "the job failed");
}

TEST(JobOutcomeTest, NewOutcomeReleasesAnEarlierPayload) {
  JobOutcome<int> outcome;
  auto payload = std::make_shared<int>(1);
  std::weak_ptr<int> watch = payload;
  outcome.store_failure(std::make_exception_ptr(std::move(payload)));
  outcome.store_result(3);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(outcome.take_result(), 3);
}

TEST(InlineJobTest, RunCapturesResultOrFailure) {
  BlockingLatch latch;
  InlineJob<BlockingLatch&, int, int (*)(bool)> ok([](bool m) { return m ? 1 : 2; }, latch);
  ok.run_capturing(true);
  EXPECT_EQ(ok.outcome().take_result(), 1);

  InlineJob<BlockingLatch&, int, int (*)(bool)> bad(
      [](bool) -> int { panic("bad job"); }, latch);
  bad.run_capturing(false);
  EXPECT_EQ(bad.outcome().kind(), JobOutcomeKind::kFailed);
  EXPECT_EQ(message_of([&] { bad.outcome().take_result(); }), "bad job");
}

TEST(InlineJobTest, CallableIsTakenExactlyOnce) {
  BlockingLatch latch;
  InlineJob<BlockingLatch&, int, int (*)()> job([] { return 5; }, latch);
  EXPECT_EQ(job.take_callable()(), 5);
  EXPECT_EQ(message_of([&] { job.run_capturing(); }),
            "assertion failed: callable_.has_value()");
}

TEST(JobHandleTest, SameJobExactlyWhenBothWordsMatch) {
  int a = 0, b = 0;
  auto entry = +[](void* data) { ++*static_cast<int*>(data); };
  auto other = +[](void*) {};
  EXPECT_EQ((JobHandle{entry, &a}), (JobHandle{entry, &a}));
  EXPECT_NE((JobHandle{entry, &a}), (JobHandle{entry, &b}));
  EXPECT_NE((JobHandle{entry, &a}), (JobHandle{other, &a}));
  execute(JobHandle{entry, &a});
  EXPECT_EQ(a, 1);
}

}  // namespace
}  // namespace velk::pool
