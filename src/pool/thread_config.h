// Pool configuration read from the environment, and the starting of one
// detached worker thread.
//
// Variables: RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS size the pool,
// RUST_MIN_STACK sets the workers' stack size. A variable that is absent, not
// UTF-8 or not a number is ignored.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk::pool {

// Stack size of a worker when RUST_MIN_STACK does not say otherwise: 2 MiB.
inline constexpr std::size_t kDefaultMinStack = std::size_t{2} << 20;
// Thread stack floor when the C library does not tell us its own minimum.
inline constexpr std::size_t kFallbackThreadMinStack = 16384;

// The number rule of all three variables: an optional single '+', then one or
// more ASCII digits and nothing else; leading zeros are fine. Empty, a lone
// '+', blanks, '-', any other character, or a value above 2^64-1 give nullopt.
std::optional<uint64_t> parse_env_number(std::string_view text);

// Thread count for a new pool: RAYON_NUM_THREADS if it is a number >= 1 (0
// means "the default" and also skips the next variable), else
// RAYON_RS_NUM_CPUS if it is a number >= 1, else available_cpu_count(), else
// 1. Reads the environment on every call (the caller caches) and is NOT capped
// (the pool builder caps it at 65535).
uint64_t configured_thread_count();

// Stack size in bytes for `RUST_MIN_STACK`'s value (nullptr when unset):
// the number (0 allowed), or kDefaultMinStack when unset or not a number.
std::size_t min_stack_size_from(const char* value);

// The process-wide worker stack size, min_stack_size_from(getenv(...)) worked
// out on first use and cached (as value + 1 in one atomic word; a racing first
// computation only repeats the same work).
std::size_t min_stack_size();

// The smallest stack the C library accepts for a new thread (its
// __pthread_get_minstack for default attributes, looked up once), else
// kFallbackThreadMinStack.
std::size_t thread_min_stack();

// An operating-system error, or an error of ours in the same shape.
struct OsError {
  int code = 0;         // errno value; 0 for an error that is not an OS code
  std::string kind;     // category: "WouldBlock", "InvalidInput", "Unsupported", ...
  std::string message;  // system message text (strerror) or our own text

  // Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }
  // or, for code 0, Custom { kind: InvalidInput, error: "invalid stack size" }.
  std::string debug_string() const;
  // Code 38 (ENOSYS) or 95 (EOPNOTSUPP), or kind "Unsupported".
  bool is_unsupported() const;

  // The error for errno value `code`, with its category and strerror text.
  static OsError from_errno(int code);
  // An error of ours with the given category and text (code 0).
  static OsError custom(std::string kind, std::string message);
};

// Applies a stack size of `size` bytes to `attr` through `set_stack_size`
// (pthread_attr_setstacksize in production). A size refused with EINVAL is
// rounded up to a multiple of `page_size` and tried once more; a second
// refusal, or a size that cannot be rounded up without wrapping, gives
// "invalid stack size" (InvalidInput). Any other refusal is returned as the
// OS error. nullopt on success.
std::optional<OsError> apply_stack_size(pthread_attr_t* attr, std::size_t size,
                                        std::size_t page_size,
                                        int (*set_stack_size)(pthread_attr_t*, std::size_t));

// Starts a detached, unnamed OS thread running body(arg) with a stack of
// max(min_stack_size(), thread_min_stack()) bytes. A size the system rejects
// (EINVAL) is rounded up to whole pages and tried once more; if that fails
// too the result is "invalid stack size" (InvalidInput). Returns nullopt on
// success. On error body never runs and arg is untouched (the caller still
// owns whatever it points to).
std::optional<OsError> spawn_detached_thread(void (*body)(void*), void* arg);

// As above with an explicit stack request in place of min_stack_size() (still
// raised to thread_min_stack()).
std::optional<OsError> spawn_detached_thread(void (*body)(void*), void* arg,
                                             std::size_t stack_size);

}  // namespace velk::pool
