#include "src/runtime/panic.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace velk {
namespace {

TEST(PanicTest, ThrowsPanicErrorWithMessageAndReportsLocation) {
  testing::internal::CaptureStderr();
  int line = __LINE__ + 2;
  try {
    panic("attempt to divide by zero");
    FAIL() << "panic returned";
  } catch (const PanicError& error) {
    note_panic_caught();
    EXPECT_EQ(error.message(), "attempt to divide by zero");
  }
  std::string err = testing::internal::GetCapturedStderr();
  std::string expected_head = "\nthread '<unnamed>' (";
  EXPECT_EQ(err.substr(0, expected_head.size()), expected_head);
  std::string where = ") panicked at tests/cpp/runtime/panic_test.cc:" + std::to_string(line) +
                      ":10:\nattempt to divide by zero\n";
  EXPECT_NE(err.find(where), std::string::npos) << err;
  EXPECT_EQ(thread_panic_count(), 0);
}

TEST(PanicTest, PanicMessageOfPayloads) {
  std::exception_ptr text = std::make_exception_ptr(PanicError("boom"));
  ASSERT_NE(panic_message(text), nullptr);
  EXPECT_EQ(*panic_message(text), "boom");
  EXPECT_EQ(panic_message(std::make_exception_ptr(42)), nullptr);
}

TEST(PanicTest, ResumeRethrowsSamePayloadWithoutReport) {
  std::exception_ptr payload = std::make_exception_ptr(PanicError("again"));
  testing::internal::CaptureStderr();
  try {
    resume_panic(payload);
  } catch (const PanicError& error) {
    note_panic_caught();
    EXPECT_EQ(error.message(), "again");
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(PanicDeathTest, NonUnwindingPanicAborts) {
  EXPECT_DEATH(panic_nounwind("uncaught panic at ffi boundary"),
               "uncaught panic at ffi boundary\n(.|\n)*thread caused non-unwinding panic. aborting.");
}

TEST(PanicDeathTest, AllocationFailureReportsSizeAndAborts) {
  EXPECT_DEATH(report_allocation_failure(12345), "memory allocation of 12345 bytes failed");
}

TEST(PanicDeathTest, FatalRuntimeErrorLine) {
  EXPECT_DEATH(fatal_runtime_error("thread local panicked on drop"),
               "fatal runtime error: thread local panicked on drop, aborting");
}

}  // namespace
}  // namespace velk
