#include "src/binding/entry_points.h"

#include "src/binding/engine_module.h"
#include "src/binding/entry.h"
#include "src/binding/module.h"

PyObject* velk_core_init_velk() {
  return velk::binding::run_module_init(&velk::binding::make_module);
}

PyObject* velk_core_init_engine() {
  return velk::binding::run_module_init(&velk::binding::make_engine_module);
}
