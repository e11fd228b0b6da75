#include "src/binding/gil.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "src/runtime/panic.h"

namespace velk::binding {
namespace {

// Starts the interpreter once for every test of this executable; this thread
// keeps the lock between tests.
class InterpreterEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
};

const auto* const kInterpreter = ::testing::AddGlobalTestEnvironment(new InterpreterEnvironment());

// Objects whose deallocation appends their tag to a list, so tests can see
// when and in which order references were released.
PyObject* tracked(PyObject* log, const char* tag) {
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(globals, "log", log);
  PyObject* done = PyRun_String(
      "class Tracked:\n"
      "    def __init__(self, tag): self.tag = tag\n"
      "    def __del__(self): log.append(self.tag)\n",
      Py_file_input, globals, globals);
  Py_XDECREF(done);
  PyObject* cls = PyDict_GetItemString(globals, "Tracked");
  PyObject* object = PyObject_CallFunction(cls, "s", tag);
  Py_DECREF(globals);
  return object;
}

TEST(LockGuardTest, NestedGuardsRestoreTheCount) {
  int64_t before = lock_count();
  {
    LockGuard outer = assume_lock();
    EXPECT_EQ(lock_count(), before + 1);
    {
      LockGuard inner = acquire_lock();
      EXPECT_EQ(inner.kind(), LockGuard::Kind::kAssumed);
      EXPECT_EQ(lock_count(), before + 2);
    }
    EXPECT_EQ(lock_count(), before + 1);
  }
  EXPECT_EQ(lock_count(), before);
}

TEST(LockGuardTest, GivingUpTheLockZeroesTheCountForTheWait) {
  LockGuard lock = assume_lock();
  int64_t held = lock_count();
  int seen_count = -1;
  int seen_state = -1;
  give_up_lock_while([&] {
    seen_count = static_cast<int>(lock_count());
    seen_state = PyGILState_Check();
  });
  EXPECT_EQ(seen_count, 0);
  EXPECT_EQ(seen_state, 0);
  EXPECT_EQ(lock_count(), held);
  EXPECT_EQ(PyGILState_Check(), 1);
}

TEST(LockGuardTest, AnotherThreadTakesTheLockItself) {
  LockGuard lock = assume_lock();
  PyObject* list = PyList_New(0);
  give_up_lock_while([&] {
    std::thread other([&] {
      LockGuard taken = acquire_lock();
      EXPECT_EQ(taken.kind(), LockGuard::Kind::kEnsured);
      EXPECT_EQ(lock_count(), 1);
      PyList_Append(list, Py_None);
    });
    other.join();
  });
  EXPECT_EQ(PyList_GET_SIZE(list), 1);
  Py_DECREF(list);
}

// Every way of entering the binding layer with the lock: each must release
// what other threads queued while they did not hold it.
enum class Entry { kAssumed, kEnsuredOnAnotherThread, kBackFromGivingUp };

class DeferredReleaseTest : public ::testing::TestWithParam<Entry> {};

TEST_P(DeferredReleaseTest, ReleasesWithoutTheLockWaitForTheNextEntryInOrder) {
  LockGuard lock = assume_lock();
  PyObject* log = PyList_New(0);
  PyObject* first = tracked(log, "first");
  PyObject* second = tracked(log, "second");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  // A thread that never entered the binding layer has a count of 0, so its
  // releases are queued rather than applied.
  std::thread([&] {
    drop_reference(first);
    drop_reference(second);
  }).join();
  EXPECT_EQ(PyList_GET_SIZE(log), 0);
  switch (GetParam()) {
    case Entry::kAssumed: {
      LockGuard entry = assume_lock();
      break;
    }
    case Entry::kEnsuredOnAnotherThread:
      give_up_lock_while([] {
        std::thread([] {
          LockGuard entry = acquire_lock();
          EXPECT_EQ(entry.kind(), LockGuard::Kind::kEnsured);
        }).join();
      });
      break;
    case Entry::kBackFromGivingUp:
      give_up_lock_while([] {});
      break;
  }
  ASSERT_EQ(PyList_GET_SIZE(log), 2);
  EXPECT_STREQ(PyUnicode_AsUTF8(PyList_GET_ITEM(log, 0)), "first");
  EXPECT_STREQ(PyUnicode_AsUTF8(PyList_GET_ITEM(log, 1)), "second");
  Py_DECREF(log);
}

INSTANTIATE_TEST_SUITE_P(Entries, DeferredReleaseTest,
                         ::testing::Values(Entry::kAssumed, Entry::kEnsuredOnAnotherThread,
                                           Entry::kBackFromGivingUp));

TEST(LockGuardTest, GivingUpTheLockTakesItBackWhenTheWorkPanics) {
  LockGuard lock = assume_lock();
  int64_t held = lock_count();
  ::testing::internal::CaptureStderr();
  try {
    give_up_lock_while([] { panic("while waiting"); });
    ADD_FAILURE() << "the panic did not propagate";
  } catch (const PanicError&) {
    note_panic_caught();
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lock_count(), held);
  EXPECT_EQ(PyGILState_Check(), 1);
}

// Issue 14: the interpreter ends a daemon thread at shutdown with
// pthread_exit when it asks for the lock back. Here the wait itself ends the
// thread: the unwind must neither take the lock back nor release anything.
TEST(LockGuardTest, ThreadEndedWhileTheLockIsGivenUpLeavesTheInterpreterAlone) {
  LockGuard lock = assume_lock();
  PyObject* log = PyList_New(0);
  PyObject* object = tracked(log, "released");
  ASSERT_NE(object, nullptr);
  Py_INCREF(object);
  bool unwound = false;
  give_up_lock_while([&] {
    std::thread([&] {
      PyGILState_STATE state = PyGILState_Ensure();
      (void)state;  // never given back: the thread is ended holding nothing
      LockGuard entry = assume_lock();
      OwnedRef owned(object);
      try {
        give_up_lock_while([] { pthread_exit(nullptr); });
      } catch (...) {
        unwound = true;
        EXPECT_TRUE(lock_taken_away());
        EXPECT_EQ(PyGILState_Check(), 0);
        throw;
      }
    }).join();
  });
  EXPECT_TRUE(unwound);
  EXPECT_EQ(PyGILState_Check(), 1);
  EXPECT_EQ(PyList_GET_SIZE(log), 0);
  EXPECT_EQ(Py_REFCNT(object), 2);  // ours, and the one the ended thread leaked
  Py_DECREF(object);
  Py_DECREF(log);
}

// A daemon thread whose first request for the lock comes once the shutdown
// has begun is parked (it ends with the process) instead of being told that
// no interpreter was ever started: an entry has shown that one was.
TEST(LockGuardDeathTest, FirstRequestAfterTheShutdownParksTheThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        { LockGuard entry = assume_lock(); }
        Py_FinalizeEx();
        static std::atomic<int> outcome{0};
        std::thread([] {
          try {
            LockGuard lock = acquire_lock();
            outcome = 1;
          } catch (...) {
            outcome = 2;
          }
        }).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::_Exit(outcome.load());
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(OwnedRefTest, ReleasesOnceWhateverTheMoves) {
  LockGuard lock = assume_lock();
  PyObject* object = PyList_New(0);
  Py_ssize_t start = Py_REFCNT(object);
  {
    OwnedRef a = OwnedRef::from_borrowed(object);
    OwnedRef b = std::move(a);
    OwnedRef c;
    c = std::move(b);
    EXPECT_EQ(Py_REFCNT(object), start + 1);
  }
  EXPECT_EQ(Py_REFCNT(object), start);
  Py_DECREF(object);
}

}  // namespace
}  // namespace velk::binding
