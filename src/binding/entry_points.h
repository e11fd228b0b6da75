// What the core library exports: one initialisation function per extension
// module. The module files (src/modules) define their PyInit_ function as a
// call of one of these; everything else in the library stays hidden.
#pragma once

#include <Python.h>

#define VELK_CORE_EXPORT __attribute__((visibility("default")))

extern "C" {

// Creates (once) and returns the `_velk` module, or null with an exception set.
VELK_CORE_EXPORT PyObject* velk_core_init_velk();

// Creates (once) and returns the `velk._engine` module, or null with an exception set.
VELK_CORE_EXPORT PyObject* velk_core_init_engine();
}
