#include "src/runtime/panic.h"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace velk {
namespace {

// Panics raised and not yet caught, process-wide and on this thread.
std::atomic<long> process_panic_count{0};
thread_local int thread_panics = 0;
thread_local bool inside_report = false;

// 0 not read yet, else TraceMode + 1.
std::atomic<int> trace_mode_cache{0};
std::atomic<bool> first_report_note{true};
std::atomic<bool> allocation_failure_seen{false};

// Serialises reports and backtraces so that two threads' reports never mix.
std::mutex& report_lock() {
  static std::mutex* lock = new std::mutex();  // never destroyed: panics may come late
  return *lock;
}

void write_all(std::string_view text) noexcept {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

long current_tid() noexcept { return static_cast<long>(::syscall(SYS_gettid)); }

// Whether `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(const char* text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    unsigned char lead = *p++;
    if (lead < 0x80) continue;
    int tail;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      tail = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      tail = 2;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      tail = 3;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    // Only the first continuation byte has the narrowed range.
    for (int i = 0; i < tail; ++i, ++p) {
      if (*p < low || *p > high) return false;
      low = 0x80;
      high = 0xBF;
    }
  }
  return true;
}

// Frames of the panic machinery itself, left out of short backtraces.
constexpr int kRuntimeFrames = 3;

void print_backtrace(TraceMode mode) noexcept {
  void* frames[128];
  int count = ::backtrace(frames, 128);
  write_all("stack backtrace:\n");
  int first = mode == TraceMode::kShort ? kRuntimeFrames : 0;
  char** names = ::backtrace_symbols(frames, count);
  for (int i = first; i < count; ++i) {
    char line[640];
    int len = std::snprintf(line, sizeof line, "%4d: %s\n", i - first,
                            names != nullptr ? names[i] : "<unknown>");
    if (len > 0) write_all(std::string_view(line, std::min<std::size_t>(len, sizeof line - 1)));
  }
  std::free(names);
  if (mode == TraceMode::kShort) {
    write_all(
        "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose "
        "backtrace.\n");
  }
}

constexpr std::string_view kRunWithNote =
    "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";

void panic_report(std::string_view message, const std::source_location& where) noexcept {
  TraceMode mode = thread_panics >= 2 ? TraceMode::kFull : trace_mode();
  std::lock_guard<std::mutex> hold(report_lock());
  // Blocks of up to kOneWrite bytes go out in one write, so that reports from
  // several threads do not interleave; the extra byte holds snprintf's
  // terminator, which is not written.
  constexpr std::size_t kOneWrite = 512;
  char head[kOneWrite + 1];
  int len = std::snprintf(
      head, sizeof head, "\nthread '<unnamed>' (%ld) panicked at %s:%u:%u:\n%.*s\n", current_tid(),
      where.file_name(), static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
      static_cast<int>(message.size()), message.data());
  if (len >= 0 && static_cast<std::size_t>(len) <= kOneWrite) {
    write_all(std::string_view(head, static_cast<std::size_t>(len)));
  } else {
    // Too long for one buffer: write the pieces directly.
    std::snprintf(head, sizeof head, "\nthread '<unnamed>' (%ld) panicked at %s:%u:%u:\n",
                  current_tid(), where.file_name(), static_cast<unsigned>(where.line()),
                  static_cast<unsigned>(where.column()));
    write_all(head);
    write_all(message);
    write_all("\n");
  }
  if (mode == TraceMode::kOff) {
    if (first_report_note.exchange(false, std::memory_order_relaxed)) write_all(kRunWithNote);
  } else {
    print_backtrace(mode);
  }
}

void raise_counts() noexcept {
  // relaxed: the counts are diagnostics; they order nothing.
  process_panic_count.fetch_add(1, std::memory_order_relaxed);
  ++thread_panics;
}

[[noreturn]] void report_nested(std::string_view message,
                                const std::source_location& where) noexcept {
  char head[512];
  int len =
      std::snprintf(head, sizeof head, "panicked at %s:%u:%u:\n", where.file_name(),
                    static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
  if (len > 0) write_all(std::string_view(head, std::min<std::size_t>(len, sizeof head - 1)));
  write_all(message);
  abort_with_line("\nthread panicked while processing panic. aborting.\n");
}

}  // namespace

TraceMode trace_mode() noexcept {
  // relaxed: racing first readers compute the same value; the first store wins.
  int cached = trace_mode_cache.load(std::memory_order_relaxed);
  if (cached != 0) return static_cast<TraceMode>(cached - 1);
  const char* value = std::getenv("RUST_BACKTRACE");
  TraceMode mode = TraceMode::kOff;
  // A value that is not text counts as no value at all.
  if (value != nullptr && is_utf8(value)) {
    if (std::strcmp(value, "full") == 0) {
      mode = TraceMode::kFull;
    } else if (std::strcmp(value, "0") == 0) {
      mode = TraceMode::kOff;
    } else {
      mode = TraceMode::kShort;
    }
  }
  int expected = 0;
  trace_mode_cache.compare_exchange_strong(expected, static_cast<int>(mode) + 1,
                                           std::memory_order_relaxed);
  return static_cast<TraceMode>(trace_mode_cache.load(std::memory_order_relaxed) - 1);
}

int thread_panic_count() noexcept { return thread_panics; }

void panic(std::string message, std::source_location where) {
  raise_counts();
  if (inside_report) report_nested(message, where);
  inside_report = true;
  panic_report(message, where);
  inside_report = false;
  throw PanicError(std::move(message));
}

void panic_nounwind(std::string_view message, std::source_location where) noexcept {
  raise_counts();
  if (inside_report) report_nested(message, where);
  inside_report = true;
  panic_report(message, where);
  inside_report = false;
  abort_with_line("thread caused non-unwinding panic. aborting.\n");
}

void note_panic_caught() noexcept {
  // relaxed: see raise_counts.
  process_panic_count.fetch_sub(1, std::memory_order_relaxed);
  if (thread_panics > 0) --thread_panics;
}

void note_panic_raised() noexcept { raise_counts(); }

void resume_panic(std::exception_ptr payload) {
  raise_counts();
  std::rethrow_exception(std::move(payload));
}

const std::string* panic_message(const std::exception_ptr& payload) noexcept {
  if (!payload) return nullptr;
  try {
    std::rethrow_exception(payload);
  } catch (const PanicError& error) {
    return &error.message();
  } catch (...) {
    return nullptr;
  }
}

void abort_with_line(std::string_view line) noexcept {
  write_all(line);
  std::abort();
}

void fatal_runtime_error(std::string_view what) noexcept {
  char line[256];
  int len = std::snprintf(line, sizeof line, "fatal runtime error: %.*s, aborting\n",
                          static_cast<int>(what.size()), what.data());
  abort_with_line(
      std::string_view(line, len > 0 ? std::min<std::size_t>(len, sizeof line - 1) : 0));
}

void report_allocation_failure(std::size_t size) noexcept {
  char line[160];
  if (allocation_failure_seen.exchange(true, std::memory_order_relaxed)) {
    int len = std::snprintf(line, sizeof line,
                            "memory allocation of %zu bytes failed\nskipping backtrace printing "
                            "to avoid potential recursion\n",
                            size);
    abort_with_line(std::string_view(line, std::min<std::size_t>(len, sizeof line - 1)));
  }
  int len = std::snprintf(line, sizeof line, "memory allocation of %zu bytes failed\n", size);
  write_all(std::string_view(line, std::min<std::size_t>(len, sizeof line - 1)));
  {
    std::lock_guard<std::mutex> hold(report_lock());
    TraceMode mode = trace_mode();
    if (mode == TraceMode::kOff) {
      write_all(kRunWithNote);
    } else {
      print_backtrace(mode);
    }
  }
  std::abort();
}

}  // namespace velk
