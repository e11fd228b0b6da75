#include "src/pool/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "src/pool/registry.h"

namespace velk::pool {
namespace {

template <class Pred>
void wait_until(Pred done) {
  while (!done()) std::this_thread::yield();
}

// A pool record whose workers are played by the test thread itself: no
// thread is started, so the queues hold exactly what the test put there.
struct HandMadePool {
  explicit HandMadePool(uint64_t count) {
    std::vector<DequeOwner> owners;
    std::vector<DequeThief> thieves;
    for (uint64_t i = 0; i < count; ++i) {
      DequePair pair = make_work_deque();
      owners.push_back(std::move(pair.owner));
      thieves.push_back(std::move(pair.thief));
    }
    pool = std::make_shared<WorkerPool>(count, thieves.data());
    for (uint64_t i = 0; i < count; ++i) {
      workers.push_back(std::make_unique<WorkerThread>(std::move(owners[i]), i, pool, 1 + i));
    }
  }
  std::shared_ptr<WorkerPool> pool;
  std::vector<std::unique_ptr<WorkerThread>> workers;
};

void record_tag(void*) {}

int tags[4] = {1, 2, 3, 4};
JobHandle tagged(int k) { return JobHandle{&record_tag, &tags[k]}; }

TEST(SearchForJobTest, OwnWorkThenPeersThenInjected) {
  HandMadePool p(2);
  WorkerThread& me = *p.workers[0];
  p.pool->injector().push(tagged(2));
  p.workers[1]->push(tagged(1));
  me.push(tagged(0));
  for (int expected : {0, 1, 2}) {
    auto job = search_for_job(me);
    ASSERT_TRUE(job.has_value());
    EXPECT_EQ(*job, tagged(expected));
  }
  EXPECT_FALSE(search_for_job(me).has_value());
}

class StealFromPeersTest : public testing::TestWithParam<uint64_t> {};

// Whatever the random first victim, every peer is visited and the thief's own
// deque never is.
TEST_P(StealFromPeersTest, FindsTheOnlyBusyPeerAndSkipsItself) {
  const uint64_t busy = GetParam();
  HandMadePool p(4);
  WorkerThread& thief = *p.workers[0];
  for (int round = 0; round < 50; ++round) {
    p.workers[busy]->push(tagged(1));
    auto job = steal_from_peers(thief);
    if (busy == 0) {
      EXPECT_FALSE(job.has_value());
      ASSERT_TRUE(p.workers[0]->take_own_job().has_value());
    } else {
      ASSERT_TRUE(job.has_value()) << "round " << round;
      EXPECT_EQ(*job, tagged(1));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BusyWorker, StealFromPeersTest, testing::Values(0, 1, 2, 3));

// A latch set from another thread while the worker searches or sleeps ends
// the wait, and the idle bookkeeping is balanced afterwards.
TEST(WaitForLatchTest, LatchSetDuringIdleSearchOrSleepEndsTheWait) {
  for (bool let_it_sleep : {false, true}) {
    HandMadePool p(2);
    WorkerLatch latch(&p.pool->sleep(), 0);
    std::thread setter([&] {
      SleepControl& sleep = p.pool->sleep();
      if (let_it_sleep) {
        wait_until([&] { return SleepCounters::sleeping(sleep.counters()) == 1; });
      } else {
        wait_until([&] { return SleepCounters::inactive(sleep.counters()) == 1; });
      }
      latch.set();
    });
    wait_for_latch(*p.workers[0], latch.word());
    setter.join();
    EXPECT_EQ(p.pool->sleep().counters() & 0xFFFFFFFF, 0u);
  }
}

}  // namespace
}  // namespace velk::pool
