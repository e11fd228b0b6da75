#include "src/pool/registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "src/pool/collect.h"
#include "src/pool/join.h"
#include "src/runtime/panic.h"
#include "tests/cpp/testing/panics.h"
#include "tests/cpp/testing/subprocess.h"

namespace velk::pool {
namespace {

using test::ChildResult;
using test::failure_of;
using test::in_child_process;
using test::run_self_in_child;

// A pool of its own (besides the global one): its workers start, run what is
// handed to them, see their own pool's size, and end when told to stop.
TEST(BuildPoolTest, WorkersStartRunHandedInWorkAndStop) {
  BuildResult built = build_pool(3, /*use_calling_thread=*/false);
  ASSERT_NE(built.pool, nullptr);
  WorkerPool& pool = *built.pool;
  ASSERT_EQ(pool.thread_count(), 3u);
  for (uint64_t i = 0; i < 3; ++i) pool.slot(i).started.await_and_clear();

  auto op = [&pool](WorkerThread& worker, bool injected) {
    EXPECT_TRUE(injected);
    EXPECT_EQ(&worker.pool(), &pool);
    EXPECT_EQ(current_thread_count(), 3u);
    GrowableArray<uint64_t> squares =
        parallel_map_collect<uint64_t>(777, [](uint64_t i) { return i * i; });
    for (uint64_t i = 0; i < squares.size(); ++i) EXPECT_EQ(squares[i], i * i);
    return squares.size();
  };
  EXPECT_EQ(run_from_outside(pool, op), 777u);

  request_stop(pool);
  for (uint64_t i = 0; i < 3; ++i) pool.slot(i).stopped.await_and_clear();
}

// --- Global pool, each case in a fresh process -----------------------------

TEST(GlobalPoolChildTest, ConcurrentFirstCallsCreateOnePool) {
  if (!in_child_process()) GTEST_SKIP() << "runs in a subprocess";
  std::atomic<int> ready{0};
  std::vector<WorkerPool*> seen(4, nullptr);
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < 4) std::this_thread::yield();
      seen[t] = &global_pool();
    });
  }
  for (auto& c : callers) c.join();
  for (WorkerPool* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(current_thread_count(), 3u);
  EXPECT_EQ(seen[0]->thread_count(), 3u);
}

TEST(GlobalPoolChildTest, FailedCreationIsReportedOnceThenAlreadyInitialized) {
  if (!in_child_process()) GTEST_SKIP() << "runs in a subprocess";
  auto use_pool = [] { parallel_map_collect<uint64_t>(10, [](uint64_t i) { return i; }); };
  const std::string prefix = "The global thread pool has not been initialized.: ";
  std::string first = failure_of(use_pool);
  EXPECT_EQ(first.rfind(prefix + "ThreadPoolBuildError { kind: IOError(", 0), 0u) << first;
  EXPECT_EQ(first.substr(first.size() - 3), ") }");

  const std::string later = prefix + "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }";
  EXPECT_EQ(failure_of(use_pool), later);
  std::string other_thread;
  std::thread([&] { other_thread = failure_of([] { current_thread_count(); }); }).join();
  EXPECT_EQ(other_thread, later);
}

// Plays a platform on which threads cannot be made at all.
std::optional<OsError> refuse_as_unsupported(void (*)(void*), void*) {
  return OsError::from_errno(ENOSYS);
}

std::vector<uint64_t> squares(uint64_t n) {
  GrowableArray<uint64_t> out = parallel_map_collect<uint64_t>(n, [](uint64_t i) { return i * i; });
  return std::vector<uint64_t>(out.data(), out.data() + out.size());
}

// The creating thread becomes the global pool's only worker. Other threads
// find a pool that nobody serves: they must work alone rather than hand their
// job in and wait forever, and leave no worker state behind, even on failure.
TEST(GlobalPoolChildTest, WithoutThreadsEveryCallerWorksAlone) {
  if (!in_child_process()) GTEST_SKIP() << "runs in a subprocess";
  alarm(30);  // a caller that waits forever ends the child
  set_thread_spawner(&refuse_as_unsupported);
  const std::vector<uint64_t> mine = squares(1000);
  ASSERT_NE(current_worker(), nullptr);
  EXPECT_EQ(current_thread_count(), 1u);
  EXPECT_FALSE(global_pool().has_spawned_workers());

  std::vector<std::vector<uint64_t>> theirs(2);
  std::vector<std::string> failures(2);
  std::vector<std::thread> others;
  for (int t = 0; t < 2; ++t) {
    others.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        theirs[t] = squares(1000 + t);
        failures[t] = failure_of([] {
          parallel_map_collect<uint64_t>(100, [](uint64_t i) -> uint64_t {
            if (i == 77) panic("row 77");
            return i;
          });
        });
        if (current_worker() != nullptr) failures[t] = "left as a worker";
      }
    });
  }
  for (auto& other : others) other.join();
  for (int t = 0; t < 2; ++t) {
    EXPECT_EQ(failures[t], "row 77");
    std::vector<uint64_t> expected = mine;
    if (t == 1) expected.push_back(1000 * 1000);
    EXPECT_EQ(theirs[t], expected);
  }
  EXPECT_EQ(squares(1000), mine);
}

std::optional<OsError> fail_by_panic(void (*)(void*), void*) { panic("no thread for you"); }

// A creation that fails by a panic rather than an error poisons the guard:
// its own caller sees the panic, every later caller the poisoning.
TEST(GlobalPoolChildTest, PanickingCreationPoisonsTheGuard) {
  if (!in_child_process()) GTEST_SKIP() << "runs in a subprocess";
  set_thread_spawner(&fail_by_panic);
  EXPECT_EQ(failure_of([] { squares(10); }), "no thread for you");
  const std::string poisoned = "Once instance has previously been poisoned";
  EXPECT_EQ(failure_of([] { squares(10); }), poisoned);
  std::string other_thread;
  std::thread([&] { other_thread = failure_of([] { current_thread_count(); }); }).join();
  EXPECT_EQ(other_thread, poisoned);
}

struct GlobalCase {
  const char* child_test;
  std::vector<std::pair<std::string, std::string>> env;
};

class GlobalPoolTest : public testing::TestWithParam<GlobalCase> {};

TEST_P(GlobalPoolTest, InFreshProcess) {
  ChildResult child = run_self_in_child(GetParam().child_test, GetParam().env);
  EXPECT_TRUE(child.passed()) << child.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GlobalPoolTest,
    testing::Values(GlobalCase{"GlobalPoolChildTest.ConcurrentFirstCallsCreateOnePool",
                               {{"RAYON_NUM_THREADS", "3"}}},
                    // A 64 TiB stack cannot be mapped: every thread creation fails.
                    GlobalCase{
                        "GlobalPoolChildTest.FailedCreationIsReportedOnceThenAlreadyInitialized",
                        {{"RUST_MIN_STACK", "70368744177664"}, {"RAYON_NUM_THREADS", "2"}}},
                    GlobalCase{"GlobalPoolChildTest.WithoutThreadsEveryCallerWorksAlone",
                               {{"RAYON_NUM_THREADS", "3"}}},
                    GlobalCase{"GlobalPoolChildTest.PanickingCreationPoisonsTheGuard", {}}));

}  // namespace
}  // namespace velk::pool
