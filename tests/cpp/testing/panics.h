// Test helper: the message of the panic a piece of code raises.
#pragma once

#include <functional>
#include <string>

#include "src/runtime/panic.h"

namespace velk::test {

// Runs `body` and returns the message of the panic it raised (counted as
// caught, as every catcher must), or "<no failure>" if it returned normally.
inline std::string failure_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const PanicError& error) {
    note_panic_caught();
    return error.message();
  }
  return "<no failure>";
}

}  // namespace velk::test
