#include "src/pool/thread_config.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <vector>

#include "src/pool/cpu_count.h"

namespace velk::pool {
namespace {

TEST(ParseEnvNumberTest, AcceptsOnlyPlusAndDigits) {
  const std::pair<const char*, std::optional<uint64_t>> cases[] = {
      {"4", 4},
      {"+4", 4},
      {"0004", 4},
      {"0", 0},
      {"18446744073709551615", UINT64_MAX},
      {" 4", std::nullopt},
      {"4 ", std::nullopt},
      {"-4", std::nullopt},
      {"4x", std::nullopt},
      {"++4", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (auto [text, expected] : cases) EXPECT_EQ(parse_env_number(text), expected) << text;
}

// Sets (or, for nullptr, unsets) one variable for the scope of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, /*overwrite=*/1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), /*overwrite=*/1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

constexpr uint64_t kDefault = 0;  // stands for available_cpu_count() in the table

struct CountCase {
  const char* num_threads;  // RAYON_NUM_THREADS, nullptr = unset
  const char* num_cpus;     // RAYON_RS_NUM_CPUS, nullptr = unset
  uint64_t expected;
};

class ConfiguredThreadCountTest : public testing::TestWithParam<CountCase> {};

TEST_P(ConfiguredThreadCountTest, FollowsEnvironmentRules) {
  const CountCase& c = GetParam();
  ScopedEnv threads("RAYON_NUM_THREADS", c.num_threads);
  ScopedEnv cpus("RAYON_RS_NUM_CPUS", c.num_cpus);
  uint64_t expected = c.expected == kDefault ? available_cpu_count().value_or(1) : c.expected;
  EXPECT_EQ(configured_thread_count(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, ConfiguredThreadCountTest,
    testing::Values(CountCase{"4", "3", 4}, CountCase{"+4", nullptr, 4},
                    // Unusable first variable: the second one decides.
                    CountCase{" 4", "3", 3}, CountCase{"-4", "3", 3}, CountCase{"4x", "3", 3},
                    CountCase{"", "3", 3}, CountCase{"\xff", "3", 3}, CountCase{nullptr, "3", 3},
                    // 0 asks for the default and skips the second variable.
                    CountCase{"0", "3", kDefault}, CountCase{nullptr, "0", kDefault},
                    CountCase{nullptr, nullptr, kDefault}, CountCase{"x", "x", kDefault},
                    // Not capped here: the pool builder does that.
                    CountCase{"100000", nullptr, 100000}));

TEST(MinStackSizeTest, ParsesVariable) {
  const std::pair<const char*, std::size_t> cases[] = {
      {nullptr, kDefaultMinStack}, {"8388608", 8388608},     {"+65536", 65536},      {"0", 0},
      {"8M", kDefaultMinStack},    {" 1", kDefaultMinStack}, {"", kDefaultMinStack},
  };
  for (auto [text, expected] : cases) EXPECT_EQ(min_stack_size_from(text), expected);
}

TEST(MinStackSizeTest, ReadsVariableOnce) {
  ScopedEnv first("RUST_MIN_STACK", "3145728");
  std::size_t before = min_stack_size();
  ScopedEnv second("RUST_MIN_STACK", "4194304");
  EXPECT_EQ(min_stack_size(), before);
}

TEST(OsErrorTest, PrintsAndClassifies) {
  EXPECT_EQ(OsError::from_errno(EAGAIN).debug_string(),
            "Os { code: 11, kind: WouldBlock, message: \"Resource temporarily unavailable\" }");
  EXPECT_EQ(OsError::custom("Other", "say \"hi\"\n").debug_string(),
            "Custom { kind: Other, error: \"say \\\"hi\\\"\\n\" }");
  const std::pair<OsError, bool> unsupported[] = {
      {OsError::from_errno(ENOSYS), true},         {OsError::from_errno(EOPNOTSUPP), true},
      {OsError::custom("Unsupported", "x"), true}, {OsError::from_errno(EAGAIN), false},
      {OsError::from_errno(98765), false},
  };
  for (const auto& [error, expected] : unsupported) {
    EXPECT_EQ(error.is_unsupported(), expected) << error.debug_string();
  }
}

// Stand-ins for pthread_attr_setstacksize that record what they were asked.
std::vector<std::size_t> sizes_tried;
int wants_pages(pthread_attr_t*, std::size_t size) {
  sizes_tried.push_back(size);
  return size % 4096 == 0 ? 0 : EINVAL;
}
int refuses_all(pthread_attr_t*, std::size_t size) { return sizes_tried.push_back(size), EINVAL; }
int out_of_memory(pthread_attr_t*, std::size_t size) { return sizes_tried.push_back(size), ENOMEM; }

constexpr char kInvalidStack[] = "Custom { kind: InvalidInput, error: \"invalid stack size\" }";

TEST(ApplyStackSizeTest, RetriesOnceRoundedToPages) {
  struct Case {
    std::size_t size;
    int (*set)(pthread_attr_t*, std::size_t);
    std::vector<std::size_t> tried;
    const char* error;  // nullptr for success
  };
  const Case cases[] = {
      {8192, wants_pages, {8192}, nullptr},
      {8193, wants_pages, {8193, 12288}, nullptr},
      {8193, refuses_all, {8193, 12288}, kInvalidStack},
      // Rounding up would wrap past zero to a tiny stack: refused instead.
      {SIZE_MAX - 5, wants_pages, {SIZE_MAX - 5}, kInvalidStack},
      {8192,
       out_of_memory,
       {8192},
       "Os { code: 12, kind: OutOfMemory, message: \"Cannot allocate memory\" }"},
  };
  for (const Case& c : cases) {
    sizes_tried.clear();
    auto error = apply_stack_size(nullptr, c.size, 4096, c.set);
    EXPECT_EQ(sizes_tried, c.tried) << c.size;
    EXPECT_EQ(error ? error->debug_string() : "", c.error ? c.error : "") << c.size;
  }
}

struct Seen {
  bool other_thread;
  std::size_t stack_size;
};

struct Probe {
  pthread_t spawner;
  std::promise<Seen> seen;
};

void probe_body(void* arg) {
  auto* probe = static_cast<Probe*>(arg);
  pthread_attr_t attr;
  std::size_t size = 0;
  if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
    ::pthread_attr_getstacksize(&attr, &size);
    ::pthread_attr_destroy(&attr);
  }
  probe->seen.set_value({!::pthread_equal(::pthread_self(), probe->spawner), size});
}

// 0 stands for the overload that takes the stack size from RUST_MIN_STACK.
class SpawnDetachedThreadTest : public testing::TestWithParam<std::size_t> {};

TEST_P(SpawnDetachedThreadTest, RunsBodyWithRequestedStack) {
  Probe probe{::pthread_self(), {}};
  std::size_t wanted = GetParam() == 0 ? min_stack_size() : GetParam();
  auto error = GetParam() == 0 ? spawn_detached_thread(probe_body, &probe)
                               : spawn_detached_thread(probe_body, &probe, wanted);
  ASSERT_FALSE(error) << error->debug_string();
  Seen seen = probe.seen.get_future().get();
  EXPECT_TRUE(seen.other_thread);
  // The C library may trim a few bytes for alignment, round up to pages or a
  // huge-page boundary, or hand out a cached stack of up to four times the
  // request. A thread that ignored the request would get the 8 MiB default.
  std::size_t floor = std::max(wanted, thread_min_stack());
  EXPECT_GE(seen.stack_size, floor - std::min<std::size_t>(floor, 4096));
  EXPECT_LE(seen.stack_size, 4 * floor + (std::size_t{2} << 20));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SpawnDetachedThreadTest,
                         testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{3000001},
                                         std::size_t{8} << 20));

void must_not_run(void* arg) { *static_cast<bool*>(arg) = true; }

TEST(SpawnDetachedThreadTest, ImpossibleStackIsAnError) {
  for (std::size_t size : {SIZE_MAX, SIZE_MAX / 2 + 1, std::size_t{1} << 50}) {
    bool ran = false;
    auto error = spawn_detached_thread(must_not_run, &ran, size);
    ASSERT_TRUE(error) << size;
    EXPECT_TRUE(error->code != 0 || error->kind == "InvalidInput") << error->debug_string();
    EXPECT_FALSE(ran);
  }
}

}  // namespace
}  // namespace velk::pool
