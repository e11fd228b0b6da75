#include "src/pool/thread_config.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "src/pool/cpu_count.h"

namespace velk::pool {
namespace {

// Worker stack size plus one; 0 until first worked out.
std::atomic<std::size_t> min_stack_cache{0};

// The C library's __pthread_get_minstack, looked up once: 0 means "not looked
// up yet", kMinstackAbsent "looked up and not there", anything else its address.
using MinstackFn = std::size_t (*)(const pthread_attr_t*);
constexpr uintptr_t kMinstackAbsent = 1;
std::atomic<uintptr_t> minstack_fn_cache{0};

MinstackFn find_minstack_fn() {
  // relaxed: the word is the whole message; a racing lookup stores the same value.
  uintptr_t cached = minstack_fn_cache.load(std::memory_order_relaxed);
  if (cached == 0) {
    void* symbol = ::dlsym(RTLD_DEFAULT, "__pthread_get_minstack");
    cached = symbol != nullptr ? reinterpret_cast<uintptr_t>(symbol) : kMinstackAbsent;
    // relaxed: as above, every thread that races here computes the same word.
    minstack_fn_cache.store(cached, std::memory_order_relaxed);
  }
  return cached == kMinstackAbsent ? nullptr : reinterpret_cast<MinstackFn>(cached);
}

// The floor the C library puts under a thread's stack for these attributes
// (it includes the thread's own static TLS, which varies with the program).
std::size_t min_stack_for(const pthread_attr_t* attr) {
  if (MinstackFn fn = find_minstack_fn()) return fn(attr);
  return kFallbackThreadMinStack;
}

const char* kind_of_errno(int code) {
  switch (code) {
    case E2BIG:
      return "ArgumentListTooLong";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case EBUSY:
      return "ResourceBusy";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case ECONNRESET:
      return "ConnectionReset";
    case EDEADLK:
      return "Deadlock";
    case EDQUOT:
      return "FilesystemQuotaExceeded";
    case EEXIST:
      return "AlreadyExists";
    case EFBIG:
      return "FileTooLarge";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case EINTR:
      return "Interrupted";
    case EINVAL:
      return "InvalidInput";
    case EISDIR:
      return "IsADirectory";
    case ELOOP:
      return "FilesystemLoop";
    case EMLINK:
      return "TooManyLinks";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ENOENT:
      return "NotFound";
    case ENOMEM:
      return "OutOfMemory";
    case ENOSPC:
      return "StorageFull";
    case ENOSYS:
      return "Unsupported";
    case EOPNOTSUPP:
      return "Unsupported";
    case ENOTCONN:
      return "NotConnected";
    case ENOTDIR:
      return "NotADirectory";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case EPIPE:
      return "BrokenPipe";
    case EROFS:
      return "ReadOnlyFilesystem";
    case ESPIPE:
      return "NotSeekable";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case ETIMEDOUT:
      return "TimedOut";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EXDEV:
      return "CrossesDevices";
    case EACCES:
    case EPERM:
      return "PermissionDenied";
    case EAGAIN:
      return "WouldBlock";
    default:
      return "Uncategorized";
  }
}

// strerror_r comes in two shapes (GNU returns the text, XSI fills the buffer);
// overloads pick whichever this C library declares.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int failed, const char* buffer) {
  return failed == 0 ? buffer : "Unknown error";
}

std::string system_message(int code) {
  char buffer[256] = {};
  return strerror_result(::strerror_r(code, buffer, sizeof buffer), buffer);
}

void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\u{";
      if (byte >= 0x10) out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
      out += '}';
    } else {
      out += c;
    }
  }
  out += '"';
}

std::optional<uint64_t> read_env_number(const char* name) {
  const char* value = std::getenv(name);
  // Bytes that are not UTF-8 are never ASCII digits either, so the number
  // rule already treats such a value as unset.
  if (value == nullptr) return std::nullopt;
  return parse_env_number(value);
}

struct ThreadStart {
  void (*body)(void*);
  void* arg;
};

void* run_thread(void* start_record) {
  ThreadStart start = *static_cast<ThreadStart*>(start_record);
  delete static_cast<ThreadStart*>(start_record);
  start.body(start.arg);
  return nullptr;
}

OsError invalid_stack_size() { return OsError::custom("InvalidInput", "invalid stack size"); }

}  // namespace

std::optional<uint64_t> parse_env_number(std::string_view text) { return parse_decimal_u64(text); }

uint64_t configured_thread_count() {
  if (auto threads = read_env_number("RAYON_NUM_THREADS")) {
    // 0 asks for the default and deliberately skips RAYON_RS_NUM_CPUS.
    if (*threads > 0) return *threads;
  } else if (auto cpus = read_env_number("RAYON_RS_NUM_CPUS"); cpus && *cpus > 0) {
    return *cpus;
  }
  return available_cpu_count().value_or(1);
}

std::size_t min_stack_size_from(const char* value) {
  if (value == nullptr) return kDefaultMinStack;
  return parse_env_number(value).value_or(kDefaultMinStack);
}

std::size_t min_stack_size() {
  // relaxed: the cached word carries its whole meaning; racing first callers
  // compute and store the same value.
  std::size_t cached = min_stack_cache.load(std::memory_order_relaxed);
  if (cached != 0) return cached - 1;
  std::size_t size = min_stack_size_from(std::getenv("RUST_MIN_STACK"));
  // A size of SIZE_MAX cannot be cached as size + 1; it is simply worked out
  // again next time (and no thread can get such a stack anyway).
  // relaxed: as for the load above.
  min_stack_cache.store(size + 1, std::memory_order_relaxed);
  return size;
}

std::size_t thread_min_stack() {
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return kFallbackThreadMinStack;
  std::size_t floor = min_stack_for(&attr);
  ::pthread_attr_destroy(&attr);
  return floor;
}

std::string OsError::debug_string() const {
  std::string out;
  if (code != 0) {
    out = "Os { code: " + std::to_string(code) + ", kind: " + kind + ", message: ";
    append_quoted(out, message);
  } else {
    out = "Custom { kind: " + kind + ", error: ";
    append_quoted(out, message);
  }
  out += " }";
  return out;
}

bool OsError::is_unsupported() const {
  return code == ENOSYS || code == EOPNOTSUPP || kind == "Unsupported";
}

OsError OsError::from_errno(int code) {
  return OsError{code, kind_of_errno(code), system_message(code)};
}

OsError OsError::custom(std::string kind, std::string message) {
  return OsError{0, std::move(kind), std::move(message)};
}

std::optional<OsError> apply_stack_size(pthread_attr_t* attr, std::size_t size,
                                        std::size_t page_size,
                                        int (*set_stack_size)(pthread_attr_t*, std::size_t)) {
  int rc = set_stack_size(attr, size);
  if (rc == 0) return std::nullopt;
  if (rc != EINVAL) return OsError::from_errno(rc);
  // Some C libraries want whole pages. Rounding a size near the top of the
  // range up would wrap around to a tiny stack, so such a size is refused.
  std::size_t rest = size % page_size;
  if (rest != 0) {
    if (size > SIZE_MAX - (page_size - rest)) return invalid_stack_size();
    size += page_size - rest;
  }
  if (set_stack_size(attr, size) != 0) return invalid_stack_size();
  return std::nullopt;
}

std::optional<OsError> spawn_detached_thread(void (*body)(void*), void* arg) {
  return spawn_detached_thread(body, arg, min_stack_size());
}

std::optional<OsError> spawn_detached_thread(void (*body)(void*), void* arg,
                                             std::size_t stack_size) {
  pthread_attr_t attr;
  if (int rc = ::pthread_attr_init(&attr); rc != 0) return OsError::from_errno(rc);
  struct AttrGuard {
    pthread_attr_t* attr;
    ~AttrGuard() { ::pthread_attr_destroy(attr); }
  } attr_guard{&attr};

  long page = ::sysconf(_SC_PAGESIZE);
  std::size_t page_size = page > 0 ? static_cast<std::size_t>(page) : 4096;
  if (auto error = apply_stack_size(&attr, std::max(stack_size, min_stack_for(&attr)), page_size,
                                    ::pthread_attr_setstacksize)) {
    return error;
  }

  auto* start = new (std::nothrow) ThreadStart{body, arg};
  if (start == nullptr) return OsError::from_errno(ENOMEM);
  pthread_t thread;
  int rc = ::pthread_create(&thread, &attr, run_thread, start);
  if (rc != 0) {
    delete start;
    return OsError::from_errno(rc);
  }
  // No one ever joins a worker; its resources go back when it ends.
  ::pthread_detach(thread);
  return std::nullopt;
}

}  // namespace velk::pool
