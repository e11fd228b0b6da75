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

// The report of a panic raised (and caught) here, as written on standard error.
std::string report_of(const std::string& message) {
  testing::internal::CaptureStderr();
  try {
    panic(message);
  } catch (const PanicError&) {
    note_panic_caught();
  }
  return testing::internal::GetCapturedStderr();
}

TEST(PanicTest, MessagesTooLongForOneWriteAreReportedWhole) {
  for (std::size_t length : {400u, 511u, 600u, 5000u}) {
    std::string message(length, 'x');
    message.back() = '!';
    std::string err = report_of(message);
    EXPECT_NE(err.find(":\n" + message + "\n"), std::string::npos) << length;
  }
}

TEST(PanicTest, SecondPanicBeforeTheFirstIsCaughtGetsAFullBacktrace) {
  testing::internal::CaptureStderr();
  try {
    panic("first");
  } catch (const PanicError&) {
    // Still panicking: the first one has not been counted as caught yet.
    try {
      panic("second");
    } catch (const PanicError&) {
      note_panic_caught();
    }
    note_panic_caught();
  }
  std::string err = testing::internal::GetCapturedStderr();
  std::size_t second = err.find("\nsecond\n");
  ASSERT_NE(second, std::string::npos) << err;
  std::string after = err.substr(second);
  EXPECT_EQ(after.find("stack backtrace:\n"), std::string("\nsecond\n").size()) << after;
  EXPECT_EQ(after.find("note: Some details are omitted"), std::string::npos) << after;
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
  EXPECT_DEATH(
      panic_nounwind("uncaught panic at ffi boundary"),
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
