// Panics: the module's report of an internal failure in native code.
//
// A panic is reported once on standard error, where it happens, and then
// unwinds as a C++ exception of type PanicError. It is caught only at a Python
// entry wrapper (which raises PanicException) or inside a pool job's captured
// call (which carries it to the waiting thread). Anything else that is caught
// at those two places counts as a panic whose payload is not text, except an
// allocation failure (src/runtime/alloc.h), which becomes MemoryError.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace velk {

// The payload a panic unwinds with.
class PanicError {
 public:
  explicit PanicError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Reports the panic on standard error (thread, location, message, then the
// backtrace or note chosen by RUST_BACKTRACE) and throws PanicError(message).
// The location is the caller's: the real file:line:column of our sources.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// A panic that may not unwind: reports it, prints
// "thread caused non-unwinding panic. aborting." and aborts.
[[noreturn]] void panic_nounwind(
    std::string_view message,
    std::source_location where = std::source_location::current()) noexcept;

// Book-keeping of a caught panic: lowers the process-wide and this thread's
// panic counts. Every catcher of a PanicError (or of a foreign exception at a
// panic catch point) calls it once.
void note_panic_caught() noexcept;

// Book-keeping of an unwinding that is not a panic but is caught like one (an
// allocation failure): raises the counts as panic() does, and reports nothing.
void note_panic_raised() noexcept;

// Re-raises a captured panic payload on this thread without reporting it
// again (it was reported where it happened). Raises the panic counts again.
[[noreturn]] void resume_panic(std::exception_ptr payload);

// The message of a caught payload: the text of a PanicError, or nullptr for
// a payload that is not text.
const std::string* panic_message(const std::exception_ptr& payload) noexcept;

// Writes `line` (which should end in a newline) to standard error with one
// write and aborts. Allocates nothing and takes no lock.
[[noreturn]] void abort_with_line(std::string_view line) noexcept;

// "fatal runtime error: {what}, aborting\n", then abort; no report, no unwinding.
[[noreturn]] void fatal_runtime_error(std::string_view what) noexcept;

// The allocation-failure report of `size` bytes, then abort.
[[noreturn]] void report_allocation_failure(std::size_t size) noexcept;

// How backtraces are printed, read once from RUST_BACKTRACE: "full" is full,
// "0" is off, any other value is short; unset (or not text) is off.
enum class TraceMode { kOff, kShort, kFull };
TraceMode trace_mode() noexcept;

// Number of panics in progress on this thread (raised and not yet caught).
int thread_panic_count() noexcept;

}  // namespace velk

// Checks an internal invariant; a break is a panic with the condition's text.
#define VELK_ASSERT(cond)                        \
  do {                                           \
    if (!(cond)) [[unlikely]]                    \
      ::velk::panic("assertion failed: " #cond); \
  } while (0)
