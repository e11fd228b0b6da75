#include "src/binding/err_state.h"

#include <gtest/gtest.h>

#include <string>

#include "src/binding/entry.h"
#include "src/binding/extract_argument.h"
#include "src/binding/panic.h"
#include "src/runtime/alloc.h"
#include "src/runtime/panic.h"
#include "tests/cpp/testing/subprocess.h"

namespace velk::binding {
namespace {

std::string text_of(PyObject* object) {
  std::string out;
  display_object(object, out);
  return out;
}

// Raises `error`, takes it back and returns (type name, str()).
std::pair<std::string, std::string> raised(PyErr error) {
  std::move(error).restore();
  PyObject* exception = PyErr_GetRaisedException();
  EXPECT_NE(exception, nullptr);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  std::pair<std::string, std::string> out{Py_TYPE(exception)->tp_name, text_of(exception)};
  Py_DECREF(exception);
  return out;
}

class PyErrTest : public ::testing::Test {
 protected:
  LockGuard lock_ = assume_lock();
};

// Fetching an ordinary error must not create the class (creating it may fail
// and fetch again). The class lives as long as the process, so this runs in a
// child process of its own, where no other test can have made it yet.
TEST_F(PyErrTest, FetchingBeforeAnyPanicLeavesTheClassUncreated) {
  if (!test::in_child_process()) {
    test::ChildResult child =
        test::run_self_in_child("PyErrTest.FetchingBeforeAnyPanicLeavesTheClassUncreated", {});
    EXPECT_TRUE(child.passed()) << child.output;
    return;
  }
  ASSERT_EQ(existing_panic_exception_type(), nullptr);
  PyErr_SetString(PyExc_ValueError, "plain");
  std::optional<PyErr> error = fetch();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(existing_panic_exception_type(), nullptr);
  EXPECT_EQ(raised(std::move(*error)),
            (std::pair<std::string, std::string>("ValueError", "plain")));
}

TEST_F(PyErrTest, LazyErrorsRaiseTheirTypeAndText) {
  using Expect = std::pair<std::string, std::string>;
  EXPECT_EQ(raised(PyErr::new_lazy(PyExc_BufferError, "shape is null")),
            Expect("BufferError", "shape is null"));
  PyObject* number = PyLong_FromLong(5);
  EXPECT_EQ(raised(PyErr::downcast(number, "Sequence")),
            Expect("TypeError", "'int' object cannot be converted to 'Sequence'"));
  EXPECT_EQ(raised(PyErr::foreign_object(number)),
            Expect("TypeError", "exceptions must derive from BaseException"));
  EXPECT_EQ(raised(PyErr::panic_exception("boom")), Expect("PanicException", "boom"));
}

// An allocation failure that reaches an entry, ours with its size or the
// global operator new's without, is an ordinary MemoryError, not a panic.
TEST_F(PyErrTest, EntryRaisesMemoryErrorForAllocationFailures) {
  using Expect = std::pair<std::string, std::string>;
  auto entered = [](FunctionBody body) {
    EXPECT_EQ(call_trampoline(body, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(thread_panic_count(), 0);
    PyObject* exception = PyErr_GetRaisedException();
    EXPECT_NE(exception, nullptr);
    Expect out{Py_TYPE(exception)->tp_name, text_of(exception)};
    Py_XDECREF(exception);
    return out;
  };
  EXPECT_EQ(entered([](PyObject* const*, Py_ssize_t, PyObject*) -> Result<OwnedRef> {
              raise_allocation_failure(1200000000);
            }),
            Expect("MemoryError", "memory allocation of 1200000000 bytes failed"));
  EXPECT_EQ(entered([](PyObject* const*, Py_ssize_t, PyObject*) -> Result<OwnedRef> {
              throw std::bad_alloc();
            }),
            Expect("MemoryError", ""));
}

TEST_F(PyErrTest, FetchWithNothingPendingGivesTheFixedSystemError) {
  ASSERT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_FALSE(fetch().has_value());
  EXPECT_EQ(raised(fetch_or_missing()),
            (std::pair<std::string, std::string>("SystemError",
                                                 "attempted to fetch exception but none was set")));
}

TEST_F(PyErrTest, NormalisingTwiceGivesTheSameInstance) {
  PyErr error = PyErr::new_lazy(PyExc_TypeError, "bad");
  PyObject* first = error.normalise();
  EXPECT_EQ(error.normalise(), first);
  EXPECT_EQ(Py_TYPE(first), reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
  std::move(error).restore();
  PyObject* back = PyErr_GetRaisedException();
  EXPECT_EQ(back, first);
  Py_XDECREF(back);
}

TEST_F(PyErrTest, ArgumentErrorKeepsTheCause) {
  PyErr original = PyErr::new_lazy(PyExc_TypeError, "inner");
  PyErr cause = PyErr::new_lazy(PyExc_KeyError, "root");
  set_cause(original, std::move(cause));
  PyErr reworded = argument_error("k", std::move(original));
  PyObject* instance = reworded.normalise();
  EXPECT_EQ(text_of(instance), "argument 'k': inner");
  PyObject* kept = PyException_GetCause(instance);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(Py_TYPE(kept), reinterpret_cast<PyTypeObject*>(PyExc_KeyError));
  Py_DECREF(kept);
}

TEST_F(PyErrTest, ResumedPanicExceptionUnwindsWithItsMessage) {
  OwnedRef text(PyUnicode_FromString("from python"));
  PyErr_SetObject(panic_exception_type(), text.get());
  std::string message;
  try {
    (void)fetch();
  } catch (const PanicError& error) {
    note_panic_caught();
    message = error.message();
  }
  EXPECT_EQ(message, "from python");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

}  // namespace
}  // namespace velk::binding
